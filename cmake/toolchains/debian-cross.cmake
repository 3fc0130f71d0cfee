# What both ARM tool chain files share: Debian's cross compilers, which
# already search the target's multiarch directories (/usr/include/TRIPLET,
# /usr/lib/TRIPLET), and qemu-user to run what they build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TIRN_TARGET_PROCESSOR})
set(CMAKE_C_COMPILER ${TIRN_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TIRN_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TIRN_TARGET_TRIPLET})
# Headers and libraries of the target only; programs (the host's tools) from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TIRN_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(TIRN_EMULATOR_PATH ${TIRN_TARGET_EMULATOR} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TIRN_EMULATOR_PATH})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TIRN_TARGET_DEBIAN_ARCH})
# pkg-config (FindOpenSSL asks it) must describe the target's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TIRN_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
