# Cross-builds for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and the
# arm64 libraries of a multiarch system (libsdl2-dev:arm64, libpng-dev:arm64, libgtest-dev:arm64).
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DMORVANE_PICTURE_TOOL=build/native-tools/picture_to_source
# scripts/arm64.sh (make arm64) does all of it, native picture tool included. The programs
# run on this machine under qemu-aarch64, which finds the arm64 libraries under / .
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(morvane_arm64_triple aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${morvane_arm64_triple}-gcc ${morvane_arm64_triple}-gcc-12 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${morvane_arm64_triple}-g++ ${morvane_arm64_triple}-g++-12 REQUIRED)
set(CMAKE_LIBRARY_ARCHITECTURE ${morvane_arm64_triple})

# The target's headers and libraries are those of the arm64 packages, in the multiarch
# directories of this very system (/usr/include/aarch64-linux-gnu, /usr/lib/aarch64-linux-gnu);
# the programs that run during the build are this machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${morvane_arm64_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${morvane_arm64_triple}/pkgconfig:/usr/share/pkgconfig)

# Test programs run under user-mode emulation on another host.
if(NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  find_program(MORVANE_QEMU_AARCH64 qemu-aarch64)
  if(MORVANE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_QEMU_AARCH64} -L /)
  endif()
endif()
