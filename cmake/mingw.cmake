# What the two mingw-w64 toolchains share (cmake/mingw-i686.cmake,
# cmake/mingw-x86_64.cmake): each sets KQ_MINGW_PREFIX and the processor
# first, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

# Debian ships a win32-threads and a posix-threads flavour; either works for a
# single-threaded program, prefer posix as the default alternatives do.
find_program(CMAKE_C_COMPILER NAMES ${KQ_MINGW_PREFIX}-gcc-posix ${KQ_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_MINGW_PREFIX}-g++-posix ${KQ_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KQ_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
