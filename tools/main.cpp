#include <iostream>

#include "tools/pxusbctl.h"

int main(int argc, char** argv) {
  // Standard input unsynchronised with stdio hands talk what the terminal or the pipe
  // has, not one character at a time.
  std::ios::sync_with_stdio(false);
  return RunPxusbctl(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
}
