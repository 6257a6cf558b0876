# Cross-builds the Linux programs for arm64 (aarch64) with Debian's cross compiler:
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
# zlib comes from Debian's arm64 package (dpkg --add-architecture arm64; apt-get install
# zlib1g-dev:arm64). The test programs run under qemu-aarch64, as the Windows ones run
# under Wine; the programs are linked statically, so qemu needs no library of arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Debian's arm64 packages live beside the host's (/usr/lib/aarch64-linux-gnu).
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(CLOCKGAP_QEMU qemu-aarch64)
if(CLOCKGAP_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CLOCKGAP_QEMU} -L /usr/aarch64-linux-gnu)
endif()
