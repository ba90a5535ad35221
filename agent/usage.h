// The usage text of the command line. Main thread only.
#pragma once

#include <string>

// Prints the usage text to standard output; the program name in it is the file
// name of `programPath` without directory and extension.
void PrintUsage(const std::string& programPath);
