#include <unistd.h>

#include <iostream>

#include "cli/cli.hpp"
#include "compute/figures/figure_file.hpp"
#ifdef VELTRANE_PNG_FIGURES
#include "ui/SvgRaster.hpp"
#endif

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
#ifdef VELTRANE_PNG_FIGURES
  veltrane::install_png_rasteriser(svgToPng);
#endif
  return veltrane::run_cli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
