# Cross-builds the Windows program from Linux with the MinGW-w64 toolchain for x86-64.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DMORVANE_PICTURE_TOOL=build/native-tools/picture_to_source
# scripts/windows.sh does all of it, native picture tool included.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(morvane_mingw_prefix x86_64-w64-mingw32)
# The -posix variants carry the threads model std::thread and std::mutex need; Debian names
# the compilers by model, other distributions only by target.
find_program(CMAKE_C_COMPILER NAMES ${morvane_mingw_prefix}-gcc-posix ${morvane_mingw_prefix}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${morvane_mingw_prefix}-g++-posix ${morvane_mingw_prefix}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${morvane_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${morvane_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC cannot give 32-byte alignment to stack slots on 64-bit Windows, yet spills AVX values
# there with aligned moves, which fault when the slot is not aligned after all. The
# assembler rewrites every aligned vector move as an unaligned one (as fast on aligned data).
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# One self-contained .exe: the C and C++ runtimes and winpthreads linked in, so nothing but
# the system's own DLLs is needed beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine on a Linux host.
if(CMAKE_HOST_UNIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/run-under-wine.sh)
endif()
