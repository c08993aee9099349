# Shared part of the cross toolchain files: Debian's cross compiler for YULT_CROSS_TRIPLE,
# its sysroot /usr/<triple>, and qemu-user to run what it builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${YULT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${YULT_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${YULT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# asio is header-only and the same for every architecture, but Debian installs it only for the
# host, in /usr/include. Putting all of /usr/include on the cross compiler's path would mix host
# libc headers in, so the build sees a directory that holds just the asio headers.
set(yult_host_asio ${CMAKE_BINARY_DIR}/host-asio)
if(EXISTS /usr/include/asio.hpp AND NOT EXISTS ${yult_host_asio}/asio.hpp)
  file(MAKE_DIRECTORY ${yult_host_asio})
  file(CREATE_LINK /usr/include/asio.hpp ${yult_host_asio}/asio.hpp SYMBOLIC)
  file(CREATE_LINK /usr/include/asio ${yult_host_asio}/asio SYMBOLIC)
endif()
set(ASIO_INCLUDE_DIR ${yult_host_asio} CACHE PATH "asio headers for the cross build (host copy)")

# Lets CMake and CTest run target programs; a static agent needs no -L.
set(CMAKE_CROSSCOMPILING_EMULATOR ${YULT_QEMU};-L;/usr/${YULT_CROSS_TRIPLE})
