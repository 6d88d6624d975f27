#include "compute/datasets/mass_spectrum.hpp"

#include <cmath>

#include "compute/datasets/dataset_files.hpp"

namespace veltrane {

std::vector<std::uint64_t> mass_spectrum(const apt::dataset& data,
                                         const spectrum_options& options) {
  std::vector<std::uint64_t> bins(static_cast<std::size_t>(options.end / options.bin), 0);
  bool complete = false;
  reading_dataset([&] {
    complete = data.for_each_chunk(
        [&](const apt::ion_chunk& chunk) {
          if (options.cancel != nullptr && options.cancel->load()) return false;
          for (float mass : chunk.mass) {
            const double bin = std::floor(static_cast<double>(mass) / options.bin);
            if (bin >= 0.0 && bin < static_cast<double>(bins.size())) {
              ++bins[static_cast<std::size_t>(bin)];
            }
          }
          if (options.ions_done != nullptr) options.ions_done->fetch_add(chunk.size());
          return true;
        },
        apt::default_chunk_ions, apt::columns::none);
  });
  if (!complete) throw calculation_cancelled();
  while (!bins.empty() && bins.back() == 0) bins.pop_back();
  return bins;
}

}  // namespace veltrane
