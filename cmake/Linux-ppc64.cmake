# Linux on big-endian POWER, cross-compiled with Debian's g++-powerpc64-linux-gnu, tests under qemu-ppc64.
set(OSTREVEL_CROSS_TRIPLE powerpc64-linux-gnu)
set(OSTREVEL_CROSS_PROCESSOR ppc64)
set(OSTREVEL_DEBIAN_ARCH ppc64)
set(OSTREVEL_QEMU qemu-ppc64)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
