# Linux on 64-bit Arm, cross-compiled with Debian's g++-aarch64-linux-gnu, tests under qemu-aarch64.
set(OSTREVEL_CROSS_TRIPLE aarch64-linux-gnu)
set(OSTREVEL_CROSS_PROCESSOR aarch64)
set(OSTREVEL_DEBIAN_ARCH arm64)
set(OSTREVEL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
