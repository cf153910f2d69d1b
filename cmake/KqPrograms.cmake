# The processor of the Windows programs as tests/pe_check.py names it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KQ_PE_MACHINE x64)
else()
  set(KQ_PE_MACHINE x86)
endif()

# What every executable we ship has in common, GUI or console: the wide
# entry point (wWinMain or wmain), subsystem and OS version 6.0 so that
# Windows loads it from Vista on, no symbols in a release build, and the
# checks of tests/pe_check.py as a test of the Windows build; signed as it
# is linked when KQ_SIGN is on.
#   kq_shipped_program(<target> windows|console)
function(kq_shipped_program target subsystem)
  target_compile_options(${target} PRIVATE -municode)
  target_link_options(${target} PRIVATE -municode -m${subsystem}
                      -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
                      -Wl,--major-os-version,6 -Wl,--minor-os-version,0
                      $<$<CONFIG:Release,MinSizeRel>:-s>)
  if(KQ_SIGN)
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND ${KQ_SIGN_COMMAND} $<TARGET_FILE:${target}> VERBATIM)
  endif()
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    set(mode)
    if(subsystem STREQUAL "console")
      set(mode --console)
    endif()
    add_test(NAME ${target}_pe_facts
             COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/pe_check.py ${mode}
                     --machine ${KQ_PE_MACHINE}
                     $<TARGET_FILE:${target}>)
  endif()
endfunction()

# The module-definition file of `def` as this architecture's linker wants it.
# The files in the tree are written once, for both: each function with the
# @N size of its arguments that 32-bit __stdcall names carry. On x86-64 there
# is one calling convention and no decoration, so the copy made for it has
# the sizes taken off.
#   kq_architecture_def(<out variable> <def file>)
function(kq_architecture_def out def)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(${out} ${def} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(name ${def} NAME)
  set(result ${CMAKE_CURRENT_BINARY_DIR}/x86_64/${name})
  file(READ ${def} text)
  string(REGEX REPLACE "@[0-9]+" "" text "${text}")
  file(CONFIGURE OUTPUT ${result} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# A delay-import library: the program links it instead of the DLL's import
# library, and the DLL is loaded at the first call of one of its functions,
# by name, wherever LoadDllsFromSystemOnly (base/system_dlls.h) lets Windows
# look by then. `def` lists the functions used, with their @N sizes.
#   kq_delay_import(<target> <dll name> <def file>)
function(kq_delay_import target dll def)
  find_program(KQ_DLLTOOL NAMES ${KQ_MINGW_PREFIX}-dlltool REQUIRED)
  kq_architecture_def(def ${def})
  set(library ${CMAKE_CURRENT_BINARY_DIR}/lib${target}.a)
  add_custom_command(OUTPUT ${library}
    COMMAND ${KQ_DLLTOOL} --input-def ${def} --dllname ${dll} --kill-at --output-delaylib ${library}
    DEPENDS ${def}
    COMMENT "Delay-import library for ${dll}"
    VERBATIM)
  add_custom_target(${target}_library DEPENDS ${library})
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${library})
  add_dependencies(${target} ${target}_library)
endfunction()
