# Cross-compile kqports for 32-bit ARM Linux (32-bit Raspberry Pi OS and
# Debian armhf) with Debian's g++-arm-linux-gnueabihf, against the armhf
# libraries of the multiarch system (libudev-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KQ_CROSS_PREFIX arm-linux-gnueabihf)

find_program(CMAKE_C_COMPILER NAMES ${KQ_CROSS_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_CROSS_PREFIX}-g++ REQUIRED)

# pkg-config reads the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KQ_CROSS_PREFIX}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
