#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "apt/byte_order.hpp"

namespace veltrane::apt {

class input_file;

/// The atom-probe data formats read here.
enum class data_format { pos, epos, apt };

/// "pos", "epos" or "apt".
std::string_view format_name(data_format format);

/// Groups of columns a data file may hold besides the mass-to-charge, which
/// every file has. Combine with | and test with has().
enum class columns : std::uint32_t {
  none = 0,
  position = 1,        ///< x, y, z (nm)
  detector = 2,        ///< det_x, det_y (mm)
  tof = 4,             ///< raw time of flight (ns)
  dc_voltage = 8,      ///< v_dc, in the file's unit
  pulse_voltage = 16,  ///< v_pulse, in the file's unit
  pulse_delta = 32,    ///< pulses since the last event
  multiplicity = 64,   ///< ions in the pulse, as the file stores it
  all = 127,
};

constexpr columns operator|(columns a, columns b) {
  return static_cast<columns>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr columns operator&(columns a, columns b) {
  return static_cast<columns>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}
/// True when `set` holds every group of `groups`.
constexpr bool has(columns set, columns groups) { return (set & groups) == groups; }

/// The unit the voltages of a file are stored in, as far as can be told:
/// .epos files hold either volts or kilovolts and do not say which.
enum class voltage_unit {
  none,     ///< the file has no DC voltage
  unknown,  ///< every DC voltage looked at is 0 or not finite
  volts,
  kilovolts,
};

/// "V", "kV", or empty for none and unknown.
std::string_view unit_symbol(voltage_unit unit);

/// The rule for files that do not say their unit: kilovolts when every
/// finite DC voltage has a magnitude below 100, volts otherwise. A standing
/// voltage lies between about 0.5 and 30 kV, so in volts it is at least
/// several hundred and in kilovolts at most a few tens; 100 lies between the
/// two with a wide margin. Values that are 0 or not finite say nothing;
/// when no other value is there the unit is unknown.
voltage_unit guess_voltage_unit(std::span<const float> v_dc);

/// Whole columns of ions in structure-of-arrays form. A column the file
/// does not have, or that was not asked for, is empty; every other column
/// has one value per ion. Positions in nm, mass-to-charge in Da, detector
/// coordinates in mm, time of flight in ns, voltages as the file stores
/// them (see dataset::voltages()).
struct ion_columns {
  std::vector<float> x, y, z, mass, det_x, det_y, tof, v_dc, v_pulse;
  /// Pulses since the last event (.epos).
  std::vector<std::uint32_t> pulse_delta;
  /// Ions in the pulse as the file stores it: in .epos the first ion of a
  /// pulse with N hits carries N and the others 0, so in either convention
  /// an ion is a single hit exactly when its multiplicity is 1.
  std::vector<std::uint32_t> multiplicity;

  /// The number of ions (the size of the mass column).
  std::size_t size() const { return mass.size(); }
};

/// A reusable buffer for the ions [first, first + size()) of a file.
/// Decoding into the same chunk again reuses its memory.
struct ion_chunk : ion_columns {
  std::uint64_t first = 0;
  /// The file's bytes of a block of ions while they are decoded (a few
  /// hundred KiB at most), kept for the next decode.
  std::vector<std::byte> file_bytes;
};

/// The chunk size for_each_chunk uses unless told otherwise: large enough
/// that the per-chunk work is negligible, small enough to stay in the cache.
inline constexpr std::size_t default_chunk_ions = std::size_t{1} << 16;

/// A 64-bit count (of ions, chunks, blocks) that is known to fit as a size
/// of this machine (a no-op where sizes are 64-bit).
template <class count_type>
constexpr std::size_t to_size(count_type count) {
  if constexpr (std::is_same_v<count_type, std::size_t>) {
    return count;
  } else {
    return static_cast<std::size_t>(count);
  }
}

namespace detail {

/// The columns of ion_columns, one by one.
enum class field : std::uint8_t {
  x,
  y,
  z,
  mass,
  det_x,
  det_y,
  tof,
  v_dc,
  v_pulse,
  pulse_delta,
  multiplicity
};
inline constexpr std::size_t field_count = 11;

/// How a column's values are stored.
enum class encoding : std::uint8_t { f32, f64, u32, i32 };

/// The size in bytes of a value stored so.
constexpr std::size_t value_size(encoding stored) { return stored == encoding::f64 ? 8 : 4; }

/// Where a column lies: the value of ion i starts at byte offset + i * stride
/// of the file.
struct column_source {
  bool present = false;
  std::uint64_t offset = 0;
  std::size_t stride = 0;
  encoding stored = encoding::f32;
  byte_order order = byte_order::little;
};

/// Where a dataset's bytes are: in memory (kept, not owned: they must
/// outlive every dataset made of them), or in a file that is read as the
/// ions are decoded (shared by every copy of the dataset).
class byte_source {
 public:
  byte_source() = default;
  explicit byte_source(std::span<const std::byte> memory) : memory_(memory) {}
  explicit byte_source(std::shared_ptr<const input_file> file);

  /// The size in bytes (of a file: when it was opened).
  std::uint64_t size() const;
  /// True for bytes in memory, which memory() then shows.
  bool in_memory() const { return file_ == nullptr; }
  std::span<const std::byte> memory() const { return memory_; }
  /// Copies the bytes [offset, offset + out.size()), which must lie within
  /// size(), into `out`. Throws input_file::read()'s read_error for a file
  /// that was cut off while being read or cannot be read.
  void read(std::uint64_t offset, std::span<std::byte> out) const;

 private:
  std::span<const std::byte> memory_;
  std::shared_ptr<const input_file> file_;
};

/// What a format's reader found in a file, all sizes already checked
/// against the bytes: every present column holds ion_count values.
struct dataset_layout {
  data_format format = data_format::pos;
  std::string path;
  byte_source bytes;
  std::uint64_t ion_count = 0;
  std::array<column_source, field_count> sources{};
  std::vector<std::string> notes;
};

}  // namespace detail

/// Called with each decoded chunk; returns false to stop (a cancel).
using chunk_callback = std::function<bool(const ion_chunk&)>;

/// An opened data file: what it holds, and its ions decoded on request. The
/// file's bytes are only read while decoding, a block of a few hundred KiB
/// at a time into the chunk; decoding is const and keeps no state, so
/// several threads may decode disjoint (or the same) ranges of one dataset
/// at once, each into its own chunk. Copies are cheap and share the open
/// file, which stays open while any copy lives. A dataset opened from bytes
/// in memory does not own them: they must outlive it.
class dataset {
 public:
  /// Built by the readers (open_pos, open_epos, open_apt, open_data).
  explicit dataset(detail::dataset_layout layout);

  data_format format() const { return layout_.format; }
  /// The path (or name) as given to the reader; messages start with it.
  const std::string& path() const { return layout_.path; }
  /// The last component of path().
  std::string file_name() const;
  std::uint64_t ion_count() const { return layout_.ion_count; }
  /// The column groups the file holds (the mass is always there).
  columns present() const { return present_; }
  /// True when the file holds every group of `groups`.
  bool has(columns groups) const { return apt::has(present_, groups); }
  /// The unit v_dc and v_pulse look like they are stored in (none when the
  /// file has no voltages): guess_voltage_unit() of the DC voltages of up to
  /// 1025 ions evenly spread over the file, the first and the last among
  /// them (a sample: reading every voltage of a large file just to open it
  /// would take seconds).
  voltage_unit voltages() const { return unit_; }
  /// What was skipped or found unusual while opening (unknown .apt
  /// sections, a file without ions and the like).
  const std::vector<std::string>& notes() const { return layout_.notes; }

  /// Decodes the ions [first, first + count) into `out`: the mass always,
  /// and every column group of `wanted` that the file has; the other
  /// columns of `out` are cleared. Throws read_error "<path>: the mass of
  /// ion <i> (counted from 0) is not a finite number (nan)" for the first
  /// such ion of the range (and likewise for a negative .apt multiplicity),
  /// and input_file::read()'s read_error when the file was cut off since it
  /// was opened or cannot be read: `out` then holds no meaningful values,
  /// and nothing may be computed from the file. Throws std::out_of_range
  /// when the ions are not all in the file.
  void decode(std::uint64_t first, std::size_t count, ion_chunk& out,
              columns wanted = columns::all) const;

  /// Decodes the whole file in chunks of `chunk_ions` ions (the last one may
  /// be shorter) and calls `callback` with each, in file order, until it
  /// returns false. Returns true when every chunk was seen, false when the
  /// callback stopped early. Throws decode()'s read_error if a chunk fails
  /// (the callback has then seen only the chunks before it), and
  /// std::invalid_argument for a chunk size of 0.
  bool for_each_chunk(const chunk_callback& callback, std::size_t chunk_ions = default_chunk_ions,
                      columns wanted = columns::all) const;

  /// Every ion at once, whole columns in memory: the one entry that holds
  /// whole columns (4 bytes per ion and column), for the Python module and
  /// for small files. Throws decode()'s read_error.
  ion_columns read_all(columns wanted = columns::all) const;

 private:
  detail::dataset_layout layout_;
  columns present_ = columns::none;
  voltage_unit unit_ = voltage_unit::none;
};

}  // namespace veltrane::apt
