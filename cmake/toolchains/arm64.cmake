# Cross build for 64-bit ARM with Debian's tool chain
# (crossbuild-essential-arm64) and the arm64 libraries in a sysroot; the
# tests run under qemu-user.
set(TIRN_TARGET_TRIPLET aarch64-linux-gnu)
set(TIRN_TARGET_PROCESSOR aarch64)
set(TIRN_TARGET_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
