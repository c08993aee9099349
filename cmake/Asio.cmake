# Standalone, header-only asio from Debian's libasio-dev.
find_path(ASIO_INCLUDE_DIR NAMES asio.hpp)
if(NOT ASIO_INCLUDE_DIR)
  message(FATAL_ERROR "asio.hpp not found: install Debian's libasio-dev (apt-get install libasio-dev).")
endif()
add_library(asio INTERFACE)
# SYSTEM: asio's own headers are not held to our warning level.
target_include_directories(asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
  # asio otherwise picks aligned_alloc+free or operator new+delete for handler memory by whether
  # a standard header came before it, so two of our sources could free each other's memory
  # the wrong way.
  ASIO_DISABLE_STD_ALIGNED_ALLOC)
find_package(Threads REQUIRED)
target_link_libraries(asio INTERFACE Threads::Threads)
