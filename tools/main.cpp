#include <iostream>

#include "tools/pxusbctl.h"

int main(int argc, char** argv) {
  return RunPxusbctl(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
