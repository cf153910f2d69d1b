# Cross-compile kqports for 64-bit ARM Linux (Raspberry Pi OS and Debian
# arm64) with Debian's g++-aarch64-linux-gnu, against the arm64 libraries of
# the multiarch system (libudev-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KQ_CROSS_PREFIX aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
