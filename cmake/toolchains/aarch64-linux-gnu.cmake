# 64-bit ARM (arm64) with Debian's g++-aarch64-linux-gnu; run with qemu-aarch64 (qemu-user):
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(YULT_CROSS_TRIPLE aarch64-linux-gnu)
set(YULT_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
