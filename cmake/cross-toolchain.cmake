# SPDX-License-Identifier: MIT
# Cross compiling for the boards' ARM architectures with Debian's cross
# toolchains, chosen by GET_PIN_ARCH (Debian's architecture names, which name
# the package too):
#   armhf, armel  one 32-bit program for every 32-bit board, ARMv6 and later
#                 apt-get install g++-arm-linux-gnueabi libc6-dev-armel-cross
#   arm64         64-bit ARMv8-A
#                 apt-get install g++-aarch64-linux-gnu libc6-dev-arm64-cross
# Programs built here run on the host under qemu-user (package qemu-user).
set(GET_PIN_ARCH "" CACHE STRING "Architecture to cross compile for: armhf, armel or arm64")
# CMake reads this file again for each compiler check; they need the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GET_PIN_ARCH)

if(GET_PIN_ARCH STREQUAL "armhf" OR GET_PIN_ARCH STREQUAL "armel")
  # The first boards have an ARM1176 core (ARMv6), which Debian's armhf
  # toolchain (ARMv7, Thumb-2) cannot serve, while their 32-bit OS calls itself
  # armhf. So both packages hold one program from Debian's armel toolchain:
  # ARMv6 in ARM state, soft-float, static (src/CMakeLists.txt).
  set(gnu_triplet arm-linux-gnueabi)
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(qemu_user qemu-arm)
  # The tests run on an ARMv6 CPU model, so any ARMv7 instruction ends them
  # with SIGILL as it would on the board.
  set(qemu_cpu arm1176)
  set(CMAKE_CXX_FLAGS_INIT "-march=armv6 -marm")
  # Segments aligned to 16K, so that the program also loads on the 16K-page
  # arm64 kernel of the newest boards.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=0x4000 -Wl,-z,common-page-size=0x4000")
elseif(GET_PIN_ARCH STREQUAL "arm64")
  # Its segments are aligned to 64K by default: fine on 4K, 16K and 64K pages.
  set(gnu_triplet aarch64-linux-gnu)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(qemu_user qemu-aarch64)
  set(qemu_cpu "")
else()
  message(FATAL_ERROR "GET_PIN_ARCH must be armhf, armel or arm64, not '${GET_PIN_ARCH}'")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${gnu_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${gnu_triplet}-g++)

# Debian multiarch: libraries of the target such as libgtest-dev:armel live in
# /usr/lib/<triplet>, the cross C library in /usr/<triplet>.
set(CMAKE_LIBRARY_ARCHITECTURE ${gnu_triplet})
set(CMAKE_FIND_ROOT_PATH /usr/${gnu_triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(GET_PIN_QEMU_USER ${qemu_user} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${GET_PIN_QEMU_USER})
if(qemu_cpu)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${qemu_cpu})
endif()
list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${gnu_triplet})
