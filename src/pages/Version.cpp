#include "pages/Version.h"

#include <iostream>

namespace YultService::Version {

// "used": nothing reads it at run time, and it must survive into the program file.
__attribute__((section(".version"), used)) char version[] = "version=" YULT_VERSION;

void Version::display() { std::cout << YULT_VERSION << '\n' << std::flush; }

} // namespace YultService::Version
