# Cross-compiling for Linux on another processor with Debian's cross compilers
# (g++-<triple>), the target's programs run under qemu-user with the cross toolchain's own
# library folder as its root, so nothing depends on binfmt being registered on the machine.
# A per-processor toolchain file sets the four names below and includes this one.
#
#   OSTREVEL_CROSS_TRIPLE     GNU triple, e.g. s390x-linux-gnu
#   OSTREVEL_CROSS_PROCESSOR  CMAKE_SYSTEM_PROCESSOR, e.g. s390x
#   OSTREVEL_DEBIAN_ARCH      the Debian architecture the packages carry, e.g. s390x
#   OSTREVEL_QEMU             the qemu-user program, e.g. qemu-s390x
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${OSTREVEL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${OSTREVEL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREVEL_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREVEL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OSTREVEL_DEBIAN_ARCH ${OSTREVEL_DEBIAN_ARCH} CACHE STRING "Debian architecture of the packages")

find_program(OSTREVEL_QEMU_PROGRAM ${OSTREVEL_QEMU})
if(NOT OSTREVEL_QEMU_PROGRAM)
  message(FATAL_ERROR "${OSTREVEL_QEMU} not found: install Debian's qemu-user to run the tests")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREVEL_QEMU_PROGRAM} -L /usr/${OSTREVEL_CROSS_TRIPLE})
