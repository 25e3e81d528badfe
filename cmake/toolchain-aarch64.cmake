# Cross build for 64-bit Arm Linux on a Debian amd64 host, with Debian's cross compiler
# (g++-aarch64-linux-gnu) and the arm64 libraries installed side by side with the native ones
# (multiarch: /usr/lib/aarch64-linux-gnu, headers in /usr/include). scripts/install-cross-deps.sh
# installs all of it. Test binaries run through qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${_triple})

# Multiarch means the target's files live under the host's own root: search there, in the
# aarch64 subdirectories CMAKE_LIBRARY_ARCHITECTURE adds, and in the cross toolchain's tree. Build
# tools (git, qemu) are host programs.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config (FindOpenSSL asks it first) reads the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triple}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Never pick up the host's x86_64 libraries by accident.
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
     /usr/lib/x86_64-linux-gnu/cmake)

# ctest (and anything else that runs a target binary) goes through qemu's user-mode emulator.
# With the arm64 C library installed multiarch (libc6:arm64, which the arm64 -dev packages pull in)
# the binaries load exactly as on a controller: /lib/ld-linux-aarch64.so.1 and the libraries in
# /usr/lib/aarch64-linux-gnu, no -L prefix. A prefix of /usr/aarch64-linux-gnu (the cross
# toolchain's copy of glibc, an older build than libc6:arm64) would pair that tree's loader with the
# multiarch libc.so.6, and such a mixed process hangs in its first pthread_create. So the prefix is
# used only where there is no multiarch loader, and scripts/test-arm64.sh clears QEMU_LD_PREFIX.
find_program(SKELVANE_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(SKELVANE_QEMU_AARCH64)
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SKELVANE_QEMU_AARCH64})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SKELVANE_QEMU_AARCH64} -L /usr/${_triple})
  endif()
endif()
