#include "pages/Help.h"

#include <iostream>

namespace YultService::DisplayHelp {

namespace {

// The whole page, fixed in the program: callers compare it byte for byte.
const char page[] =
    "\n"
    "NAME\n"
    "\tYultService - Ostrel Studio Performance Tools Service\n"
    "\n"
    "SYNOPSIS\n"
    "\tYultService [-P pid] [-C] [-S] [-O] [-V] [-h]\n"
    "\n"
    "DESCRIPTION\n"
    "\tYultService (Ostrel Studio Performance Tools Service) is a command line agent written for and run "
    "natively on olva devices. The service is used by Ostrel Studio Performance Extension and communicates "
    "with OlvaScript applications.\n"
    "\t\n"
    "The options are as follows:\n"
    "\n"
    "\t-P app_pid, --pid app_pid\n"
    "\t\t\tThe process identifier of the target olva script application\n"
    "\t-C , --cpu\n"
    "\t\t\tPerform CPU profiling\n"
    "\t-M , --memory\n"
    "\t\t\tPerform Memory profiling\n"
    "\t-S , --start-profiling\n"
    "\t\t\tStart profiling\n"
    "\t-O , --stop-profiling\n"
    "\t\t\tStop profiling\n"
    "\t-J , --get-js-heap-summary\n"
    "\t\t\tGet JavaScript heap memory summary\n"
    "\t-V , --verbose\n"
    "\t\t\tDump additional information while running\n"
    "\t-D , --use-dynamic-port\n"
    "\t\t\tGet a free port dynamically for the app profiler. Otherwise uses default 9091 port\n"
    "\t-v , --version\n"
    "\t\t\tDisplay version information\n"
    "\t-h , --help\n"
    "\t\t\tShow this help message and exit\n"
    "\n"
    "SAMPLE USAGE\n"
    "\tRun YultService and start CPU profiling of OlvaScript application with process identifier 1234\n"
    "\tYultService -pid 1234 --cpu --start-profiling\n"
    "\tYultService -P 1234 -CS\n"
    "\n"
    "\tRun YultService in verbose mode and stop CPU profiling of OlvaScript application with process "
    "identifier 1234\n"
    "\tYultService --pid 1234 --cpu --stop-profiling --verbose\n"
    "\tYultService -P 1234 -COV\n"
    "\n"
    "\tShow help for YultService\n"
    "\tYultService --help\n"
    "\tYultService -h\n"
    "\n";

} // namespace

void Help::display() { std::cout << page; }

} // namespace YultService::DisplayHelp
