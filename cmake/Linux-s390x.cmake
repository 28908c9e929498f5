# Linux on IBM Z (big-endian), cross-compiled with Debian's g++-s390x-linux-gnu, tests under qemu-s390x.
set(OSTREVEL_CROSS_TRIPLE s390x-linux-gnu)
set(OSTREVEL_CROSS_PROCESSOR s390x)
set(OSTREVEL_DEBIAN_ARCH s390x)
set(OSTREVEL_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxCross.cmake)
