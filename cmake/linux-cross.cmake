# The part of the ARM Linux toolchain files that is the same for every
# Debian cross-compiler: the compilers named by KQ_CROSS_PREFIX, and
# pkg-config reading that architecture's multiarch .pc files only.
find_program(CMAKE_C_COMPILER NAMES ${KQ_CROSS_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KQ_CROSS_PREFIX}-g++ REQUIRED)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KQ_CROSS_PREFIX}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
