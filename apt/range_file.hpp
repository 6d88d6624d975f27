#pragma once

// Range files: the peaks of a mass spectrum named by the ions they hold.
//   .rrng  [Ions] Number=2, Ion1=W, Ion2=O
//          [Ranges] Number=2,
//                   Range1=60.55 60.75 Vol:0.01585 W:1 Color:FF0000
//                   Range2=66.20 66.40 Vol:0.02 W:1 O:1 Name:WO3+ Color:00FF00
//   .rng   "<elements> <ranges>", then per element a line with its long
//          name ("Aluminium") and a line "<short name> r g b" (colour from 0
//          to 1), a dashed line followed by the short names as column
//          headers, and one line ". low high n1 n2 ..." (or with a running
//          number for the dot) per range: the atoms of each element in the
//          ion. A block of polyatomic ions after a blank line is skipped
//          with a note.
// The charge state is not in the file: see charge_assignment.hpp.
//
// Reading is linear in the file's size (at most 16 MiB): every count a file
// declares is checked before work or memory is spent on it.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::apt {

enum class range_format { rrng, rng };

/// The most elements one ion of a range may have; more are refused.
inline constexpr std::size_t most_elements_per_ion = 32;

/// "rrng" or "rng".
std::string_view format_name(range_format format);

/// One element of an ion and its number of atoms: {"W", 1}, {"O", 2}.
struct ion_part {
  std::string element;
  int count = 1;
  bool operator==(const ion_part&) const = default;
};

/// One range of the mass-to-charge spectrum. An ion of mass-to-charge m lies
/// in it when low <= m <= high, with m as the double of the stored float32.
struct mass_range {
  double low = 0.0;      ///< Da, as read
  double high = 0.0;     ///< Da, as read; above low
  std::size_t line = 0;  ///< of the file, counted from 1
  /// The elements of the ion in the order the file gives them (.rng: of
  /// its element list), each once, every count from 1 to 99, at most
  /// most_elements_per_ion of them; empty when the range names no ion. A
  /// name need not be an element: user-named ions ("Uo1", "A") are kept as
  /// written.
  std::vector<ion_part> composition;
  /// The file's Name: when given, otherwise the composition written out
  /// ("W", "WO", "W2O").
  std::string name;
  std::string colour;            ///< six upper-case hex digits "FF0000"; empty when none
  std::optional<double> volume;  ///< Vol: (nm³), when given

  /// The number of atoms of `element` in the ion (0 when none).
  int count_of(std::string_view element) const;
  /// True when the ion is one atom of one element.
  bool single_atom() const { return composition.size() == 1 && composition.front().count == 1; }
  bool contains(double mass) const { return low <= mass && mass <= high; }
};

/// A range file as read: its ranges sorted by their low bound, no two
/// overlapping (two may share a bound: an ion exactly at it belongs to the
/// upper one, as find() says). Ranges of one ion that the file gives twice,
/// or that overlap, are one range here (their union).
struct range_file {
  std::string path;  ///< as given; messages start with it
  range_format format = range_format::rrng;
  /// The ions the file lists ([Ions] of .rrng, the short names of the
  /// elements of .rng), in order; also those that no range names.
  std::vector<std::string> ions;
  std::vector<mass_range> ranges;
  /// What was skipped, merged or assumed while reading, each a line
  /// starting with the path ("W.rrng:14: ..."): duplicate ranges (one note
  /// for all), ranges of one ion merged into their union, unknown sections
  /// and keys, colours left out, placeholder column names of .rng, ions
  /// that are no element (one note naming them), the polyatomic block of
  /// .rng, and the like. Of a kind that a file may give many times, the
  /// first ten are listed and the rest counted in one line.
  std::vector<std::string> notes;

  /// The index of the range that holds `mass`, by binary search; nothing
  /// when no range does.
  std::optional<std::size_t> find(double mass) const;
};

/// The format a file name's extension names (.rrng, .rng in any case).
std::optional<range_format> range_format_of_extension(const std::filesystem::path& path);

/// Reads the range file at `path`: the format from its extension, else from
/// its first line. Throws open_error for a file that cannot be opened for
/// reading or is no regular file (see input_file), and read_error
/// "<path>:<line>: <what is wrong>" (or "<path>: ..." for the whole file)
/// for a file that cannot be read, is not text, or is larger than a range
/// file can be (16 MiB), and for everything parse_range_text() refuses;
/// cancelled when `cancel` is raised while it is read.
range_file read_range_file(const std::filesystem::path& path,
                           const std::atomic<bool>* cancel = nullptr);

/// Reads a range file's text; `name` names it in messages. The format as
/// given, or when not given from the first line that is no comment ("[" for
/// .rrng, two whole numbers for .rng). Accepts CRLF (or CR) line ends, a
/// UTF-8 byte-order mark, '#' comment lines, spaces around '=', keys and
/// sections in any case (Vol:/vol:), a missing or malformed colour (noted),
/// decimal commas ("22,8615"), molecular ions (W:1 O:1), custom names
/// (Name:), ions that are no element (noted once), several keys Range1=
/// (read in file order); in .rng numbered range lines, short names as the
/// elements, placeholder column names (Element1, ...; mapped by position,
/// noted once), an element listed twice (its columns added). Ranges given
/// twice alike (the same bounds and ion) are kept once, with one note for
/// all; ranges of one ion that overlap or nest are merged into their
/// union, with a note. Throws read_error naming the line for a range line
/// that does not read (bounds that are not numbers, not finite, negative,
/// or not low < high; a token that is not key:value; a count that is not a
/// whole number from 0 to 99; an element twice; more than
/// most_elements_per_ion elements), for ranges of different ions that
/// overlap (naming both lines), for fewer ranges or ions than the file
/// declares, and for a file without ranges section. Every few thousand
/// lines it looks at `cancel`, when given: raised, it throws cancelled.
range_file parse_range_text(std::string_view text, std::string name,
                            std::optional<range_format> format = std::nullopt,
                            const std::atomic<bool>* cancel = nullptr);

/// The shortest text that reads back as the same double ("60.55").
std::string mass_text(double value);

}  // namespace veltrane::apt
