# Linux on little-endian POWER, cross-compiled with Debian's g++-powerpc64le-linux-gnu, tests under qemu-ppc64le.
set(OSTREVEL_CROSS_TRIPLE powerpc64le-linux-gnu)
set(OSTREVEL_CROSS_PROCESSOR ppc64le)
set(OSTREVEL_DEBIAN_ARCH ppc64el)
set(OSTREVEL_QEMU qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
