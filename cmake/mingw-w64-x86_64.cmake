# SPDX-License-Identifier: MIT
# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, which std::thread needs): tools/setup-deps.sh windows installs it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_NM ${triplet}-nm)
set(CMAKE_OBJDUMP ${triplet}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthreads linked in: the DLLs and programs
# need nothing but Windows itself (msvcrt.dll, kernel32.dll, ws2_32.dll, ...).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Release programs and DLLs without symbols, as users get them: the zip and
# the installer ship these files unchanged, so a release signs them once here.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")

# Programs that the build or its tests run go through Wine.
find_program(QRV_WINE wine)
if(QRV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QRV_WINE})
endif()
