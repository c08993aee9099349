#include "pages/Version.h"

#include <iostream>

namespace YultService::Version {

// "used": nothing reads it at run time, and it must survive into the program file.
__attribute__((section(".version"), used)) char version[16] = "version=2.1.0.0";

void Version::display() { std::cout << "2.1.0.0" << '\n' << std::flush; }

} // namespace YultService::Version
