// libFuzzer target for the readers of atom-probe data: the input's bytes
// opened as a .pos, an .epos and an .apt file in memory. Besides surviving
// any input, it checks that an opened file decodes alike whole and in
// chunks, that every column asked for has one value per ion, and that a
// file that opens holds as many records as its size says.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "apt/data_file.hpp"
#include "apt/read_error.hpp"

using namespace veltrane::apt;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void read_as(std::span<const std::byte> bytes, data_format format) {
  std::optional<dataset> data;
  try {
    data.emplace(open_data(bytes, format, "fuzz"));
  } catch (const read_error&) {
    return;
  }
  const std::uint64_t n = data->ion_count();
  if (format == data_format::pos) check(n * pos_record_size == bytes.size());
  if (format == data_format::epos) check(n * epos_record_size == bytes.size());
  if (format == data_format::apt) check(n * 4 <= bytes.size());  // at least a float mass each

  ion_columns whole;
  try {
    whole = data->read_all();
  } catch (const read_error&) {
    // A mass that is not finite: no chunk of the file may then pass either.
    bool all_passed = true;
    try {
      all_passed = data->for_each_chunk([](const ion_chunk&) { return true; }, 7);
    } catch (const read_error&) {
      all_passed = false;
    }
    check(!all_passed);
    return;
  }
  check(whole.size() == n);
  const auto sized = [n](std::size_t size, bool present) { return size == (present ? n : 0); };
  check(sized(whole.x.size(), data->has(columns::position)));
  check(sized(whole.det_y.size(), data->has(columns::detector)));
  check(sized(whole.tof.size(), data->has(columns::tof)));
  check(sized(whole.v_pulse.size(), data->has(columns::pulse_voltage)));
  check(sized(whole.multiplicity.size(), data->has(columns::multiplicity)));

  std::size_t seen = 0;
  const bool finished = data->for_each_chunk(
      [&](const ion_chunk& c) {
        for (std::size_t i = 0; i < c.size(); ++i) {
          const std::size_t at = static_cast<std::size_t>(c.first) + i;
          check(at == seen + i);
          check(c.mass[i] == whole.mass[at]);
          if (!c.det_x.empty()) {
            check(std::bit_cast<std::uint32_t>(c.det_x[i]) ==
                  std::bit_cast<std::uint32_t>(whole.det_x[at]));
          }
        }
        seen += c.size();
        return true;
      },
      5, columns::detector);
  check(finished && seen == n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  for (const auto format : {data_format::pos, data_format::epos, data_format::apt}) {
    read_as(bytes, format);
  }
  return 0;
}
