#include "apt/dataset.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "apt/input_file.hpp"
#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

using detail::column_source;
using detail::encoding;
using detail::field;

constexpr std::size_t index(field f) { return static_cast<std::size_t>(f); }

// The column group each field belongs to; the mass belongs to every set.
constexpr columns group_of(field f) {
  switch (f) {
    case field::x:
    case field::y:
    case field::z:
      return columns::position;
    case field::det_x:
    case field::det_y:
      return columns::detector;
    case field::tof:
      return columns::tof;
    case field::v_dc:
      return columns::dc_voltage;
    case field::v_pulse:
      return columns::pulse_voltage;
    case field::pulse_delta:
      return columns::pulse_delta;
    case field::multiplicity:
      return columns::multiplicity;
    case field::mass:
      break;
  }
  return columns::none;
}

std::vector<float>* float_column(ion_columns& c, field f) {
  switch (f) {
    case field::x:
      return &c.x;
    case field::y:
      return &c.y;
    case field::z:
      return &c.z;
    case field::mass:
      return &c.mass;
    case field::det_x:
      return &c.det_x;
    case field::det_y:
      return &c.det_y;
    case field::tof:
      return &c.tof;
    case field::v_dc:
      return &c.v_dc;
    case field::v_pulse:
      return &c.v_pulse;
    case field::pulse_delta:
    case field::multiplicity:
      break;
  }
  return nullptr;
}

// The inner loop: one column of n ions, a strided load per value. Stored
// type and byte order are template arguments so that each combination is a
// tight loop of its own.
template <class stored, byte_order order, class out_type>
void decode_run(const std::byte* p, std::size_t stride, std::size_t n, out_type* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const stored v = load<stored>(p + i * stride, order);
    if constexpr (std::is_same_v<stored, out_type>) {
      out[i] = v;
    } else {
      // A double beyond the largest float becomes an infinity (converting
      // it directly would be undefined), so that it is no finite mass.
      constexpr double largest = std::numeric_limits<float>::max();
      out[i] = v > largest    ? std::numeric_limits<float>::infinity()
               : v < -largest ? -std::numeric_limits<float>::infinity()
                              : static_cast<out_type>(v);
    }
  }
}

template <byte_order order>
void decode_floats(const column_source& s, const std::byte* p, std::size_t n, float* out) {
  if (s.stored == encoding::f64) {
    decode_run<double, order>(p, s.stride, n, out);
  } else {
    decode_run<float, order>(p, s.stride, n, out);
  }
}

// n values of a column whose first value starts at p.
void decode_column(const column_source& s, const std::byte* p, std::size_t n, float* out) {
  if (n == 0) return;
  if (s.order == byte_order::big) {
    decode_floats<byte_order::big>(s, p, n, out);
  } else {
    decode_floats<byte_order::little>(s, p, n, out);
  }
}

// Whole numbers are read as their 32 bits; an int32 column is checked for
// negative values afterwards.
void decode_column(const column_source& s, const std::byte* p, std::size_t n, std::uint32_t* out) {
  if (n == 0) return;
  if (s.order == byte_order::big) {
    decode_run<std::uint32_t, byte_order::big>(p, s.stride, n, out);
  } else {
    decode_run<std::uint32_t, byte_order::little>(p, s.stride, n, out);
  }
}

// Where the decoded values of a field go: ion k of the range at [k].
struct destination {
  field which;
  float* floats = nullptr;
  std::uint32_t* whole = nullptr;
};

void decode_into(const destination& d, const column_source& s, const std::byte* p, std::size_t n,
                 std::size_t at) {
  if (d.whole != nullptr) {
    decode_column(s, p, n, d.whole + at);
  } else {
    decode_column(s, p, n, d.floats + at);
  }
}

// The bytes read from a file at once: a block of records that stays in the
// cache between its reading and its decoding.
constexpr std::size_t file_block_bytes = std::size_t{1} << 17;

// Decodes the ions [first, first + count) of the fields `wanted` from a
// file. Fields that lie in one record (the same stride, within one stride
// of each other: an .epos record, an .apt Position) are read together, a
// block of ions at a time; each read is checked, so a file cut short since
// it was opened is an error here, never a fault.
void decode_from_file(const detail::byte_source& bytes,
                      const std::array<column_source, detail::field_count>& sources,
                      std::span<destination> wanted, std::uint64_t first, std::size_t count,
                      std::vector<std::byte>& buffer) {
  std::sort(wanted.begin(), wanted.end(), [&](const destination& a, const destination& b) {
    return sources[index(a.which)].offset < sources[index(b.which)].offset;
  });
  for (std::size_t g = 0; g < wanted.size();) {
    // The group: the fields from g on that share the first one's record.
    const column_source& lead = sources[index(wanted[g].which)];
    const std::uint64_t low = lead.offset;
    std::uint64_t width = detail::value_size(lead.stored);
    std::size_t end = g + 1;
    for (; end < wanted.size(); ++end) {
      const column_source& s = sources[index(wanted[end].which)];
      const std::uint64_t reach = s.offset - low + detail::value_size(s.stored);
      if (s.stride != lead.stride || reach > lead.stride) break;
      width = std::max(width, reach);
    }
    const std::size_t stride = lead.stride;
    const std::size_t block =
        std::max<std::size_t>(1, file_block_bytes / std::max<std::size_t>(stride, 1));
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(block, count - done);
      const auto size = to_size((n - 1) * stride + width);
      if (buffer.size() < size) buffer.resize(size);
      bytes.read(low + (first + done) * stride, std::span(buffer.data(), size));
      for (std::size_t f = g; f < end; ++f) {
        const column_source& s = sources[index(wanted[f].which)];
        decode_into(wanted[f], s, buffer.data() + (s.offset - low), n, done);
      }
      done += n;
    }
    g = end;
  }
}

// Decodes the ions [first, first + count) of `fields`.
void decode_fields(const detail::dataset_layout& layout, std::uint64_t first, std::size_t count,
                   std::span<destination> fields, std::vector<std::byte>& buffer) {
  if (count == 0 || fields.empty()) return;
  if (!layout.bytes.in_memory()) {
    decode_from_file(layout.bytes, layout.sources, fields, first, count, buffer);
    return;
  }
  // In memory: straight from the bytes, with no copy.
  const std::byte* bytes = layout.bytes.memory().data();
  for (const destination& d : fields) {
    const column_source& s = layout.sources[index(d.which)];
    decode_into(d, s, bytes + s.offset + first * s.stride, count, 0);
  }
}

std::string number_text(float v) {
  if (std::isnan(v)) return "nan";
  return v > 0 ? "inf" : "-inf";
}

}  // namespace

std::string_view format_name(data_format format) {
  switch (format) {
    case data_format::pos:
      return "pos";
    case data_format::epos:
      return "epos";
    case data_format::apt:
      break;
  }
  return "apt";
}

std::string_view unit_symbol(voltage_unit unit) {
  switch (unit) {
    case voltage_unit::volts:
      return "V";
    case voltage_unit::kilovolts:
      return "kV";
    case voltage_unit::none:
    case voltage_unit::unknown:
      break;
  }
  return {};
}

voltage_unit guess_voltage_unit(std::span<const float> v_dc) {
  bool seen = false;
  for (const float v : v_dc) {
    if (!std::isfinite(v) || v == 0.0f) continue;
    if (std::abs(v) >= 100.0f) return voltage_unit::volts;
    seen = true;
  }
  return seen ? voltage_unit::kilovolts : voltage_unit::unknown;
}

namespace detail {

byte_source::byte_source(std::shared_ptr<const input_file> file) : file_(std::move(file)) {}

std::uint64_t byte_source::size() const { return file_ ? file_->size() : memory_.size(); }

void byte_source::read(std::uint64_t offset, std::span<std::byte> out) const {
  if (file_) {
    file_->read(offset, out);
    return;
  }
  if (offset > memory_.size() || out.size() > memory_.size() - offset) {
    throw std::out_of_range("bytes beyond the end of the data were asked for");
  }
  std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
}

}  // namespace detail

dataset::dataset(detail::dataset_layout layout) : layout_(std::move(layout)) {
  for (std::size_t f = 0; f < detail::field_count; ++f) {
    if (layout_.sources[f].present) present_ = present_ | group_of(static_cast<field>(f));
  }
  if (!layout_.sources[index(field::mass)].present) {
    throw std::logic_error("a dataset needs a mass column");
  }
  const column_source& v = layout_.sources[index(field::v_dc)];
  if (!v.present) {
    unit_ = voltage_unit::none;
  } else {
    // Up to 1025 ions evenly spread, the first and the last among them.
    constexpr std::uint64_t steps = 1024;
    const std::uint64_t n = layout_.ion_count;
    std::vector<float> sample;
    std::vector<std::byte> buffer;
    const auto read_dc = [&](std::uint64_t first, std::size_t count, float* out) {
      destination d{field::v_dc, out, nullptr};
      decode_fields(layout_, first, count, std::span(&d, 1), buffer);
    };
    if (n <= steps + 1) {
      sample.resize(to_size(n));
      read_dc(0, sample.size(), sample.data());
    } else {
      sample.resize(steps + 1);
      for (std::size_t k = 0; k <= steps; ++k) {
        // k * (n - 1) / steps without overflow for any n.
        const std::uint64_t i = (n - 1) / steps * k + (n - 1) % steps * k / steps;
        read_dc(i, 1, &sample[k]);
      }
    }
    unit_ = guess_voltage_unit(sample);
  }
}

std::string dataset::file_name() const {
  return std::filesystem::path(layout_.path).filename().string();
}

void dataset::decode(std::uint64_t first, std::size_t count, ion_chunk& out, columns wanted) const {
  if (first > layout_.ion_count || count > layout_.ion_count - first) {
    throw std::out_of_range(layout_.path + ": the " + std::to_string(count) + " ions from ion " +
                            std::to_string(first) + " on are not all among its " +
                            std::to_string(layout_.ion_count));
  }
  out.first = first;
  std::array<destination, detail::field_count> taken{};
  std::size_t n_taken = 0;
  for (std::size_t f = 0; f < detail::field_count; ++f) {
    const auto which = static_cast<field>(f);
    const column_source& s = layout_.sources[f];
    const bool take = s.present && (which == field::mass || apt::has(wanted, group_of(which)));
    if (which == field::pulse_delta || which == field::multiplicity) {
      auto& column = which == field::pulse_delta ? out.pulse_delta : out.multiplicity;
      if (!take) {
        column.clear();
        continue;
      }
      column.resize(count);
      taken[n_taken++] = {which, nullptr, column.data()};
      continue;
    }
    auto& column = *float_column(out, which);
    if (!take) {
      column.clear();
      continue;
    }
    column.resize(count);
    taken[n_taken++] = {which, column.data(), nullptr};
  }
  decode_fields(layout_, first, count, std::span(taken.data(), n_taken), out.file_bytes);

  // A multiplicity stored as int32 may be negative, which no pulse is.
  const column_source& multiplicity = layout_.sources[index(field::multiplicity)];
  if (multiplicity.stored == encoding::i32 && !out.multiplicity.empty()) {
    for (std::size_t i = 0; i < count; ++i) {
      if (out.multiplicity[i] >= 0x80000000u) {
        throw read_error(layout_.path + ": the multiplicity of ion " + std::to_string(first + i) +
                         " (counted from 0) is negative (" +
                         std::to_string(std::bit_cast<std::int32_t>(out.multiplicity[i])) + ")");
      }
    }
  }
  // A mass that is not finite makes every ratio of the file meaningless.
  const float* m = out.mass.data();
  bool all_finite = true;
  for (std::size_t i = 0; i < count; ++i) all_finite &= std::isfinite(m[i]);
  if (!all_finite) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!std::isfinite(m[i])) {
        throw read_error(layout_.path + ": the mass of ion " + std::to_string(first + i) +
                         " (counted from 0) is not a finite number (" + number_text(m[i]) + ")");
      }
    }
  }
}

bool dataset::for_each_chunk(const chunk_callback& callback, std::size_t chunk_ions,
                             columns wanted) const {
  if (chunk_ions == 0) throw std::invalid_argument("for_each_chunk: a chunk of 0 ions");
  ion_chunk chunk;
  for (std::uint64_t first = 0; first < layout_.ion_count;) {
    const std::uint64_t left = layout_.ion_count - first;
    const std::size_t n = left < chunk_ions ? to_size(left) : chunk_ions;
    decode(first, n, chunk, wanted);
    if (!callback(chunk)) return false;
    first += n;
  }
  return true;
}

ion_columns dataset::read_all(columns wanted) const {
  if (layout_.ion_count > std::numeric_limits<std::size_t>::max()) {
    throw read_error(layout_.path + ": too many ions to hold in memory");
  }
  ion_chunk chunk;
  decode(0, to_size(layout_.ion_count), chunk, wanted);
  return std::move(static_cast<ion_columns&>(chunk));
}

}  // namespace veltrane::apt
