# Cross build for 32-bit big-endian PowerPC Linux with Debian's
# g++-powerpc-linux-gnu. Binaries are linked statically, so they run on the
# target without its libraries and on the build machine under qemu-ppc
# (Debian's qemu-user), which CTest uses to run the tests.
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DSIPTRUNK_DEPS_PREFIX=$PWD/build-ppc/deps/prefix
#
# SIPTRUNK_DEPS_PREFIX holds SQLite (and libmnl/libnftnl) built for the target
# by tools/build-ppc-deps.sh; `make ppc` does all of it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(SIPTRUNK_CROSS_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${SIPTRUNK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SIPTRUNK_CROSS_TRIPLE}-g++)
# Binutils: CMake derives ar/ranlib/strip from the compiler's name; spelled
# out so that a plain `cmake --install --strip` uses the target's strip.
set(CMAKE_AR ${SIPTRUNK_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${SIPTRUNK_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${SIPTRUNK_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Look for target headers and libraries only in the cross sysroot (and in the
# prefix of the libraries we build for the target), never in the build
# machine's /usr; programs (qemu, code generators) come from the build machine.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SIPTRUNK_DEPS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${SIPTRUNK_CROSS_TRIPLE})
if(SIPTRUNK_DEPS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${SIPTRUNK_DEPS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not answer with the build machine's .pc files either.
set(ENV{PKG_CONFIG_LIBDIR} "${SIPTRUNK_DEPS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# 64-bit time_t and off_t on this 32-bit target (glibc >= 2.34), so times after
# 2038 and files over 2 GiB work. Every translation unit of a link must agree:
# the flags are set here, for all of them (SQLite's interface carries neither
# type, so its separately built library is unaffected).
option(SIPTRUNK_TIME64 "64-bit time_t and off_t on the 32-bit target" ON)
if(SIPTRUNK_TIME64)
  set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
  set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
endif()

# Static executables: the target needs no shared libraries of ours, and qemu
# needs no sysroot (-L) to run them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# CTest (and gtest_discover_tests) run target binaries through qemu-ppc.
find_program(SIPTRUNK_QEMU_PPC NAMES qemu-ppc qemu-ppc-static)
if(SIPTRUNK_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SIPTRUNK_QEMU_PPC})
else()
  message(WARNING "qemu-ppc not found (Debian package qemu-user): the tests build but cannot run here")
endif()
