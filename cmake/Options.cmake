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

# The static agent is what ships, and most of it is the C and C++ runtime: with every function
# and data object in a section of its own the linker drops what is never reached, and
# link-time optimisation what no caller needs. Together they take about a fifth off the program
# at the same transfer speed; -Os would take a little more but costs speed. Nothing refers to the
# .version section, so its symbol is named to the linker as a root to keep (and the link fails
# should it ever go).
if(YULT_STATIC)
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections -Wl,--require-defined=_ZN11YultService7Version7versionE)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
endif()
