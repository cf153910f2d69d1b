# What the packages take from the sources, read where each is written once:
# the unit's USB IDs from units/unit_ids.h (for the Debian package's scripts,
# and for the Windows driver packages' INF files and install script, which
# drivers/ fills in), the rules files' names from udev/udev_rules.h. Each is matched to its exact shape; a header
# written otherwise fails the configuration rather than give the scripts a
# wrong value. Writes into <build>/packaging/:
#   apply-rules.sh  the maintainer scripts' procedure (packaging/deb/apply-rules.sh.in)
#   names.sh        the rules files' names, for scripts/release.sh and the release checks

# kq_read_fact(VAR FILE REGEX): the groups of REGEX's one match in FILE, as a
# list, into VAR.
function(kq_read_fact var file regex)
  file(READ ${file} text)
  # Counted by marks put in their place: a match may hold ";", a list's separator.
  string(REGEX REPLACE "${regex}" "@kq_fact@" marked "${text}")
  string(REGEX MATCHALL "@kq_fact@" matches "${marked}")
  list(LENGTH matches count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${file}: expected one line matching\n  ${regex}\nfound ${count}; "
                        "cmake/KqPackaging.cmake reads it for the package's scripts")
  endif()
  string(REGEX MATCH "${regex}" match "${text}")
  set(groups)
  foreach(n RANGE 1 ${CMAKE_MATCH_COUNT})
    list(APPEND groups "${CMAKE_MATCH_${n}}")
  endforeach()
  set(${var} "${groups}" PARENT_SCOPE)
endfunction()

set(_kq_ids ${PROJECT_SOURCE_DIR}/units/unit_ids.h)
set(_kq_rules ${PROJECT_SOURCE_DIR}/udev/udev_rules.h)
# Also run as a script by its test (tests/packaging_facts.py), on copies of
# the headers, writing into KQ_PACKAGING_OUT.
if(NOT KQ_PACKAGING_OUT)
  set(KQ_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
endif()
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${_kq_ids} ${_kq_rules})
endif()

# kq_read_usb_id(VAR CONSTANT): the function's "vvvv:pppp" as sysfs writes it,
# in lower case, from unit_ids.h's CONSTANT; and into VAR_WINDOWS the
# hardware ID Windows gives it, "USB\VID_VVVV&PID_PPPP".
function(kq_read_usb_id var constant)
  set(hex "[0-9A-F][0-9A-F][0-9A-F][0-9A-F]")
  kq_read_fact(id ${_kq_ids}
    "\ninline constexpr UsbFunctionId ${constant}{\"(${hex})\", \"(${hex})\"};")
  list(GET id 0 vendor)
  list(GET id 1 product)
  set(${var}_WINDOWS "USB\\VID_${vendor}&PID_${product}" PARENT_SCOPE)
  string(TOLOWER "${vendor}:${product}" id)
  set(${var} ${id} PARENT_SCOPE)
endfunction()
kq_read_usb_id(KQ_MCU_ID kMcuFunctionId)
kq_read_usb_id(KQ_FTDI_ID kFtdiFunctionId)
kq_read_usb_id(KQ_CODEC_ID kAudioFunctionId)

kq_read_fact(KQ_RULES_FILE_NAME ${_kq_rules}
  "\ninline constexpr char kRulesFileName\\[\\] = \"([0-9][0-9]-[a-z0-9-]+\\.rules)\";")
kq_read_fact(KQ_LABEL_RULES_FILE_NAME ${_kq_rules}
  "\ninline constexpr char kLabelRulesFileName\\[\\] = \"([0-9][0-9]-[a-z0-9-]+\\.rules)\";")

configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/apply-rules.sh.in
               ${KQ_PACKAGING_OUT}/apply-rules.sh @ONLY)
file(CONFIGURE OUTPUT ${KQ_PACKAGING_OUT}/names.sh CONTENT
"# The rules files' names, from udev/udev_rules.h (cmake/KqPackaging.cmake).
rules_file=${KQ_RULES_FILE_NAME}
label_rules_file=${KQ_LABEL_RULES_FILE_NAME}
")
