// libFuzzer target for what a user types: the number parser under arbitrary
// number formats, the whole reading of a calculation's inputs, and the
// measured ratios, counts and field ranges of the charge-state commands.
//
// Besides surviving any input, it checks one property: a finite double
// written with a format's separators (groups of three in the integral part)
// reads back as the very same double.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/joint_input.hpp"

using namespace veltrane;

namespace {

// Consumes a length-prefixed piece of the input.
std::string take(const std::uint8_t*& data, std::size_t& size, std::size_t max_length) {
  if (size == 0) return {};
  const std::size_t length = std::min<std::size_t>(data[0] % (max_length + 1), size - 1);
  std::string piece(reinterpret_cast<const char*>(data + 1), length);
  data += 1 + length;
  size -= 1 + length;
  return piece;
}

const number_format formats[] = {
    {".", ",", "NaN", "Infinity", "-Infinity"},  {",", ".", "NaN", "Infinity", "-Infinity"},
    {",", "\u202f", "NaN", "\u221e", "-\u221e"}, {".", "'", "n/a", "+inf", "-inf"},
    {".", "", "NaN", "Infinity", "-Infinity"},
};

// A finite value written as a person of that locale would: %.17g, then the
// locale's decimal separator and groups of three digits.
std::string write_localised(double value, const number_format& f) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  std::string plain = buffer;
  std::string sign;
  if (!plain.empty() && plain[0] == '-') {
    sign = "-";
    plain.erase(0, 1);
  }
  const std::size_t exponent_at = plain.find_first_of("eE");
  std::string exponent = exponent_at == std::string::npos ? "" : plain.substr(exponent_at);
  std::string mantissa = plain.substr(0, exponent_at);
  const std::size_t point = mantissa.find('.');
  std::string integral = mantissa.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : mantissa.substr(point + 1);
  std::string grouped;
  for (std::size_t i = 0; i < integral.size(); ++i) {
    if (i > 0 && (integral.size() - i) % 3 == 0) grouped += f.group_separator;
    grouped += integral[i];
  }
  return sign + grouped + (fraction.empty() ? "" : f.decimal_separator + fraction) + exponent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t selector = data[0];
  ++data;
  --size;

  // A format either from the table or made of the input's own bytes.
  number_format format;
  if (selector & 0x80) {
    format.decimal_separator = take(data, size, 4);
    format.group_separator = take(data, size, 4);
    format.nan_symbol = take(data, size, 8);
    format.positive_infinity_symbol = take(data, size, 8);
    format.negative_infinity_symbol = take(data, size, 8);
  } else {
    format = formats[selector % std::size(formats)];
  }

  // Any text: no crash, no hang, and a result is a double.
  const std::string text = take(data, size, 255);
  (void)parse_number(text, format);

  // The round trip, for formats whose separators cannot be mistaken for
  // digits, signs or each other.
  if (!(selector & 0x80) && size >= 8) {
    double value = 0.0;
    std::memcpy(&value, data, sizeof value);
    if (std::isfinite(value)) {
      const std::string written = write_localised(value, format);
      const auto read = parse_number(written, format);
      if (!read || std::memcmp(&*read, &value, sizeof value) != 0) {
        std::fprintf(stderr, "round trip failed: %.17g written as \"%s\"\n", value,
                     written.c_str());
        std::abort();
      }
    }
  }

  // A measured ratio, counts and a field range, as typed.
  {
    const int n = 1 + selector % 4;
    std::string message;
    const std::string typed = take(data, size, 64);
    if (const auto r = parse_ratio_spec(typed, n, &message)) {
      if (r->k < 1 || r->k > n || !std::isfinite(r->ratio) || !(r->ratio > 0.0)) std::abort();
    } else if (message.empty()) {
      std::abort();
    }
    message.clear();
    if (const auto k = parse_pair_spec(typed, n, &message)) {
      if (*k < 1 || *k > n) std::abort();
    } else if (message.empty()) {
      std::abort();
    }
    message.clear();
    if (const auto counts = parse_counts_spec(typed, n, &message)) {
      if (counts->size() != static_cast<std::size_t>(n) + 2) std::abort();
      if (const auto pairs = counted_pairs(*counts, &message)) {
        for (int k : *pairs) {
          if ((*counts)[static_cast<std::size_t>(k)] + (*counts)[static_cast<std::size_t>(k) + 1] <=
              0.0) {
            std::abort();
          }
        }
      }
    } else if (message.empty()) {
      std::abort();
    }
    if (size >= 24) {
      double bounds[3];
      std::memcpy(bounds, data, sizeof bounds);
      data += sizeof bounds;
      size -= sizeof bounds;
      if (const auto grid = field_grid(bounds[0], bounds[1], bounds[2], &message)) {
        if (grid->empty() || grid->size() > max_fraction_fields) std::abort();
      }
    }
  }

  // An element by any of its names, the mass tolerance, and the elements and
  // ionisations of a joint field, as typed: an answer or a message, never a
  // crash.
  {
    const std::string typed = take(data, size, 64);
    if (const auto key = resolve_element(typed)) {
      if (!find_element(*key)) std::abort();
    } else if (unknown_element_message(typed).empty()) {
      std::abort();
    }
    std::string message;
    if (const auto charges = parse_mass_tolerance(typed, &message)) {
      if (!(charges->tolerance_da >= 0.0) || !(charges->tolerance_percent >= 0.0)) std::abort();
    } else if (message.empty()) {
      std::abort();
    }
    try {
      (void)joint_elements_of(typed);
    } catch (const input_refused&) {
    }
    try {
      (void)joint_ionisations_of(typed);
    } catch (const input_refused&) {
    }
  }

  // The whole reading of the inputs, with texts taken from the rest.
  control_state controls;
  if (size > 0) controls.ionisations = static_cast<double>(static_cast<int>(data[0] % 7) - 1);
  controls.element = take(data, size, 16);
  if (selector & 1) controls.element = "Tungsten";
  for (auto& box : controls.boxes) box = take(data, size, 64);
  const request_outcome outcome = read_request(controls, format);
  if (outcome.request) {
    if (outcome.request->n < 1 || outcome.request->n > 4) std::abort();
    if (outcome.request->energies_ev.size() != static_cast<std::size_t>(outcome.request->n) + 1) {
      std::abort();
    }
  } else if (outcome.message.empty()) {
    std::abort();
  }
  return 0;
}
