# Cross-compile for 64-bit Windows with mingw-w64 (Debian g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQ_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
