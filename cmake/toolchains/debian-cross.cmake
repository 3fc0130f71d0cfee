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

# What runs the target's programs here: qemu-user, whose file look-ups find
# the sysroot's files first (its loader and libraries, the iconv modules,
# the keyboard layouts). One program, so that tests can start it as they
# would the binary itself.
find_program(TIRN_QEMU ${TIRN_TARGET_EMULATOR} REQUIRED)
set(TIRN_EMULATOR_PATH ${CMAKE_BINARY_DIR}/run-${TIRN_TARGET_DEBIAN_ARCH})
file(WRITE ${TIRN_EMULATOR_PATH}.new
  "#!/bin/sh\nQEMU_LD_PREFIX='${TIRN_SYSROOT}' exec '${TIRN_QEMU}' \"$@\"\n")
file(CHMOD ${TIRN_EMULATOR_PATH}.new PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME ${TIRN_EMULATOR_PATH}.new ${TIRN_EMULATOR_PATH})
set(CMAKE_CROSSCOMPILING_EMULATOR ${TIRN_EMULATOR_PATH})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TIRN_TARGET_DEBIAN_ARCH})
