#include <unistd.h>

#include <iostream>

#include "cli/cli.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return veltrane::run_cli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
