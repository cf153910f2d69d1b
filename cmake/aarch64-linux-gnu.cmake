# Cross-compile kqports for 64-bit ARM Linux (Raspberry Pi OS and Debian
# arm64) with Debian's g++-aarch64-linux-gnu, against the arm64 libraries of
# the multiarch system (libudev-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KQ_CROSS_PREFIX aarch64-linux-gnu)

find_program(CMAKE_C_COMPILER NAMES ${KQ_CROSS_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_CROSS_PREFIX}-g++ REQUIRED)

# pkg-config reads the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KQ_CROSS_PREFIX}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
