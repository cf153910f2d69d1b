# Cross-compile kqports for 32-bit ARM Linux (32-bit Raspberry Pi OS and
# Debian armhf) with Debian's g++-arm-linux-gnueabihf, against the armhf
# libraries of the multiarch system (libudev-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KQ_CROSS_PREFIX arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
