// hxtarrowctl: shows what the agent tells its user interface.
#include <iostream>
#include <string>
#include <vector>

#include "arrowctl.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return hxt::ctl::RunArrowCtl(args, std::cout, std::cerr);
}
