# 32-bit ARM hard-float (armhf) with Debian's g++-arm-linux-gnueabihf; run with qemu-arm (qemu-user):
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_PROCESSOR arm)
set(YULT_CROSS_TRIPLE arm-linux-gnueabihf)
set(YULT_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
