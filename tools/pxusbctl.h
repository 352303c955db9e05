// pxusbctl: the library from the command line. Runs in the calling process, so tests
// can drive it like the program does.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit codes: 0 done, 1 failed (message on `err`), 2 usage error.
int RunPxusbctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
