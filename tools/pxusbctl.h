// pxusbctl: the library from the command line. Runs in the calling process, so tests
// can drive it like the program does.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

// Exit codes: 0 done, 1 failed (message on `err`), 2 usage error; talk also 3 (the
// device left) and 130 (Ctrl+C). `in` is what talk sends.
int RunPxusbctl(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
