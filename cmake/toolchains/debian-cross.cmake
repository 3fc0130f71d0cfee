# What both ARM tool chain files share: Debian's cross compilers, the
# target's libraries and headers in a sysroot of their own (scripts/sysroot
# makes it; TIRN_SYSROOT names it, by default where that script keeps it),
# and qemu-user to run what they build, with the sysroot as its library
# prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TIRN_TARGET_PROCESSOR})
set(CMAKE_C_COMPILER ${TIRN_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TIRN_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TIRN_TARGET_TRIPLET})

if(NOT TIRN_SYSROOT)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/sysroot ${TIRN_TARGET_DEBIAN_ARCH}
    OUTPUT_VARIABLE TIRN_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE made)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "no ${TIRN_TARGET_DEBIAN_ARCH} sysroot: run scripts/sysroot ${TIRN_TARGET_DEBIAN_ARCH}")
  endif()
  set(TIRN_SYSROOT ${TIRN_SYSROOT} CACHE PATH "The target's libraries and headers")
endif()
# The checks CMake compiles in a project of their own see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TIRN_SYSROOT)
set(CMAKE_SYSROOT ${TIRN_SYSROOT})

# Headers and libraries of the target only; programs (the host's tools) from
# the host.
set(CMAKE_FIND_ROOT_PATH ${TIRN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (FindOpenSSL asks it) must describe the target's libraries.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TIRN_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${TIRN_SYSROOT}/usr/lib/${TIRN_TARGET_TRIPLET}/pkgconfig:${TIRN_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# What runs the target's programs here: qemu-user with the sysroot as its
# library prefix, through the one program scripts/sysroot puts in the root.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TIRN_SYSROOT}/.run)
if(NOT EXISTS ${CMAKE_CROSSCOMPILING_EMULATOR})
  message(FATAL_ERROR "${TIRN_SYSROOT} has no .run: make it again with scripts/sysroot ${TIRN_TARGET_DEBIAN_ARCH}")
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TIRN_TARGET_DEBIAN_ARCH})
