# Cross build for 32-bit ARM (hard float) with Debian's tool chain
# (crossbuild-essential-armhf) and the armhf libraries in a sysroot; the
# tests run under qemu-user.
set(TIRN_TARGET_TRIPLET arm-linux-gnueabihf)
set(TIRN_TARGET_PROCESSOR arm)
set(TIRN_TARGET_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes every std::vector iterator passed by value that GCC 7.1 passed
# otherwise; everything here is built by one compiler, so it never applies.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
