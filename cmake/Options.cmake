option(YULT_WERROR "Treat warnings in our own code as errors" ON)
option(YULT_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(YULT_STATIC "Link the agent fully statically" OFF)
option(YULT_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

# Warnings for our own targets only; third-party headers come in as SYSTEM.
add_library(yult_warnings INTERFACE)
target_compile_options(yult_warnings INTERFACE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion)
if(YULT_WERROR)
  target_compile_options(yult_warnings INTERFACE -Werror)
endif()

if(YULT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # GCC's flow analysis under ASan reports uninitialised values inside std::regex that are not.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(yult_warnings INTERFACE -Wno-maybe-uninitialized)
  endif()
endif()
