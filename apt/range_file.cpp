#include "apt/range_file.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "apt/input_file.hpp"
#include "apt/isotopes.hpp"
#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

// What a range file may hold. Each is checked before the work or memory it
// would cost is spent, so that reading is linear in the file's size.
constexpr std::size_t largest_range_file = std::size_t{16} << 20;
constexpr int largest_count = 99;
constexpr long long most_rng_ions = 1000;
// Notes of one kind that are listed one by one; the rest are counted.
constexpr std::size_t listed_notes = 10;
// Names listed in the note on ions that are no element.
constexpr std::size_t listed_names = 12;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_text(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = lower(c);
  return result;
}

bool same_word(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return lower(x) == lower(y); });
}

bool starts_with_word(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && same_word(text.substr(0, prefix.size()), prefix);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// The words of a line into `tokens` (cleared first, so that one vector
// serves every line).
void split_words(std::string_view text, std::vector<std::string_view>& tokens) {
  tokens.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) tokens.push_back(text.substr(start, i - start));
  }
}

// One line of a text with its number, trimmed.
struct text_line {
  std::size_t number = 0;
  std::string_view text;
};

bool is_comment(std::string_view line) { return !line.empty() && line.front() == '#'; }
bool is_content(const text_line& l) { return !l.text.empty() && !is_comment(l.text); }

// The lines of a text one at a time, without holding them all: a line ends
// at LF, CRLF or CR; a UTF-8 byte-order mark is skipped.
class line_reader {
 public:
  /// `cancel`, when given, is looked at every few thousand lines: raised,
  /// reading stops with apt::cancelled.
  explicit line_reader(std::string_view text, const std::atomic<bool>* cancel = nullptr)
      : rest_(text), cancel_(cancel) {
    if (rest_.substr(0, 3) == "\xEF\xBB\xBF") rest_.remove_prefix(3);
    done_ = rest_.empty();
  }
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;

  /// The next line; false at the end.
  bool next(text_line& line) {
    if (peeked_) {
      line = *peeked_;
      peeked_.reset();
      return true;
    }
    if (done_) return false;
    if (cancel_ != nullptr && number_ % lines_between_looks == 0 && cancel_->load()) {
      throw cancelled();
    }
    const std::size_t end = line_end();
    line = {++number_, trim(rest_.substr(0, end))};
    if (end == std::string_view::npos) {
      rest_ = {};
    } else {
      const std::size_t next = rest_.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
      rest_.remove_prefix(next);
      passed_ += next;
    }
    done_ = rest_.empty();
    return true;
  }
  /// The next line that is neither blank nor a comment; false at the end.
  bool next_content(text_line& line) {
    while (next(line)) {
      if (is_content(line)) return true;
    }
    return false;
  }
  /// The next line that is neither blank nor a comment, left to be read
  /// again; nothing at the end.
  const text_line* peek_content() {
    text_line line;
    if (!next_content(line)) return nullptr;
    peeked_ = line;
    return &*peeked_;
  }
  /// The number of the last line read.
  std::size_t line_number() const { return number_; }

 private:
  // Where the line ends (a CR or LF) within rest_, or npos. The next CR and
  // LF are each found by memchr and kept until passed, so that a text is
  // scanned once for each.
  std::size_t line_end() {
    const auto next_of = [this](char c, std::size_t& at) {
      if (at == unknown || (at != std::string_view::npos && at < passed_)) {
        const void* found = std::memchr(rest_.data(), c, rest_.size());
        at = found == nullptr ? std::string_view::npos
                              : passed_ + static_cast<std::size_t>(static_cast<const char*>(found) -
                                                                   rest_.data());
      }
      return at == std::string_view::npos ? at : at - passed_;
    };
    return std::min(next_of('\n', next_lf_), next_of('\r', next_cr_));
  }

  // A few thousand short lines take well under a millisecond.
  static constexpr std::size_t lines_between_looks = 4096;
  std::string_view rest_;
  const std::atomic<bool>* cancel_;
  std::size_t passed_ = 0;  // bytes of the text before rest_
  static constexpr std::size_t unknown = std::string_view::npos - 1;
  std::size_t next_lf_ = unknown, next_cr_ = unknown;  // from the text's start; npos: none
  std::size_t number_ = 0;
  bool done_ = false;
  std::optional<text_line> peeked_;
};

// A decimal number with a point or a comma; a leading '+' is allowed.
std::optional<double> read_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::array<char, 64> plain{};
  std::copy(text.begin(), text.end(), plain.begin());
  const std::size_t comma = text.find(',');
  if (comma != std::string_view::npos) {
    if (text.find('.') != std::string_view::npos ||
        text.find(',', comma + 1) != std::string_view::npos) {
      return std::nullopt;
    }
    plain[comma] = '.';
  }
  double value = 0.0;
  const char* const last = plain.data() + text.size();
  const auto [end, error] = std::from_chars(plain.data(), last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<long long> read_whole(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A count of atoms: a whole number, also written as a decimal ("1.0").
std::optional<long long> read_count(std::string_view text) {
  if (const auto whole = read_whole(text)) return whole;
  const std::optional<double> value = read_decimal(text);
  if (!value || !(*value >= 0.0 && *value <= largest_count) || *value != std::floor(*value)) {
    return std::nullopt;
  }
  return static_cast<long long>(*value);
}

std::string shown_text(std::string_view text) {
  constexpr std::size_t longest = 60;
  std::string shown;
  for (const char c : text.substr(0, longest)) {
    const auto u = static_cast<unsigned char>(c);
    shown.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
  if (text.size() > longest) shown += "...";
  return "'" + shown + "'";
}

// 1392 as "1,392".
std::string grouped(std::size_t n) {
  std::string digits = std::to_string(n), text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

std::string composition_text(const std::vector<ion_part>& composition) {
  std::string text;
  for (const ion_part& part : composition) {
    text += part.element;
    if (part.count != 1) text += std::to_string(part.count);
  }
  return text;
}

// The element symbols of the isotope table in lower case, for telling
// element names from other names of ions.
const std::unordered_set<std::string>& element_symbols() {
  static const std::unordered_set<std::string> symbols = [] {
    std::unordered_set<std::string> s;
    for (const std::string_view symbol : isotope_table::builtin().symbols()) {
      s.insert(lower_text(symbol));
    }
    return s;
  }();
  return symbols;
}

// Kinds of notes that a file may give many times: the first few are listed,
// the rest counted in one line.
enum class note_kind {
  skipped_line,
  colour,
  shared_bound,
  same_ion_overlap,
  not_in_ion_list,
  element_twice,
  count
};

constexpr std::array<const char*, static_cast<std::size_t>(note_kind::count)> note_summaries = {
    "lines skipped",
    "colours left out",
    "ranges sharing a bound with the next one",
    "overlapping ranges of one ion merged",
    "elements not among the ions of [Ions]",
    "elements given twice"};

// A range as read, before the ranges are sorted and merged: its bounds,
// line and volume, and its ion, name and colour as one of the file's ions
// (interned: a file holds many ranges of few ions).
struct pending_range {
  double low = 0.0, high = 0.0;
  double volume = 0.0;  // when has_volume
  std::uint32_t line = 0;
  std::uint32_t ion = 0;  // into reader::ions_
  bool has_volume = false;
};

// One ion of the ranges as written: composition, name and colour.
struct written_ion {
  std::vector<ion_part> composition;
  std::string name;
  std::string colour;
  std::uint32_t same_as = 0;  // equal for the same ion written otherwise (order, case)
};

// An element of a range line and its count, as the line gives them.
using line_part = std::pair<std::string_view, long long>;

// The first range of each pair of bounds, for finding ranges given again:
// a hash table of indices into the ranges, open addressing, grown by
// doubling (a few bytes per range, no allocation per range).
class bounds_index {
 public:
  // The index of the first range of `ranges` with the bounds of `range`;
  // nothing when there is none, and then `range` is taken to be the next
  // one of `ranges`.
  std::optional<std::size_t> find_or_add(const std::vector<pending_range>& ranges,
                                         const pending_range& range) {
    if (2 * (used_ + 1) > slots_.size()) grow(ranges);
    for (std::size_t at = slot_of(range.low, range.high);; at = (at + 1) & (slots_.size() - 1)) {
      const std::size_t held = slots_[at];
      if (held == 0) {
        slots_[at] = ranges.size() + 1;
        ++used_;
        return std::nullopt;
      }
      const pending_range& r = ranges[held - 1];
      if (r.low == range.low && r.high == range.high) return held - 1;
    }
  }

 private:
  // The bits of both bounds mixed (splitmix64's finaliser): the low bits
  // of a bound's mantissa alone repeat too often to index by.
  std::size_t slot_of(double low, double high) const {
    std::uint64_t x = std::bit_cast<std::uint64_t>(low) ^
                      std::rotl(std::bit_cast<std::uint64_t>(high), 32) * 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return (x ^ (x >> 31)) & (slots_.size() - 1);
  }
  void grow(const std::vector<pending_range>& ranges) {
    std::vector<std::size_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, 2 * old.size()), 0);
    for (const std::size_t held : old) {
      if (held == 0) continue;
      const pending_range& r = ranges[held - 1];
      std::size_t at = slot_of(r.low, r.high);
      while (slots_[at] != 0) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = held;
    }
  }

  std::vector<std::size_t> slots_;  // index + 1 into the ranges; 0: free
  std::size_t used_ = 0;
};

// Reads what every format shares while lines are parsed: the file name for
// messages, where to put notes, and the ranges in their compact form until
// they are sorted and merged.
class reader {
 public:
  reader(std::string name, range_format format) {
    file_.path = std::move(name);
    file_.format = format;
  }

  [[noreturn]] void fail(std::size_t line, const std::string& what) const {
    throw read_error(file_.path + ":" + std::to_string(line) + ": " + what);
  }
  [[noreturn]] void fail(const std::string& what) const {
    throw read_error(file_.path + ": " + what);
  }
  void note(std::size_t line, const std::string& what) {
    file_.notes.push_back(file_.path + ":" + std::to_string(line) + ": " + what);
  }
  void note(const std::string& what) { file_.notes.push_back(file_.path + ": " + what); }
  // A note of a kind that may come many times: `what` makes its text, only
  // for the notes that are listed.
  template <class Text>
  void note(note_kind kind, std::size_t line, const Text& what) {
    std::size_t& n = note_counts_[static_cast<std::size_t>(kind)];
    if (n++ < listed_notes) note(line, std::string(what()));
  }

  range_file& file() { return file_; }

  // A bound of a range: finite and not negative.
  double bound(std::size_t line, std::string_view text, const char* which) const {
    const std::optional<double> value = read_decimal(text);
    if (!value)
      fail(line, std::string("the ") + which + " bound " + shown_text(text) + " is not a number");
    if (!std::isfinite(*value) || *value < 0.0) {
      fail(line, std::string("the ") + which + " bound " + shown_text(text) +
                     " is not a finite mass-to-charge of at least 0");
    }
    return *value + 0.0;  // no -0
  }

  // Adds `count` atoms of `element` to the parts of a line; an element
  // twice, or more elements than an ion has, is an error.
  void add_part(std::size_t line, std::vector<line_part>& parts, std::string_view element,
                long long count) const {
    const bool twice = std::any_of(parts.begin(), parts.end(),
                                   [element](const line_part& p) { return p.first == element; });
    if (twice) fail(line, "the element " + shown_text(element) + " is given twice");
    if (count == 0) return;
    if (parts.size() == most_elements_per_ion) {
      fail(line, "the ion has more than " + std::to_string(most_elements_per_ion) +
                     " elements: no ion is made of so many");
    }
    parts.emplace_back(element, count);
  }
  void add_part(std::size_t line, std::vector<line_part>& parts, std::string_view element,
                std::string_view count_text) const {
    const std::optional<long long> count = read_count(count_text);
    if (!count || *count < 0 || *count > largest_count) {
      fail(line, "the count " + shown_text(count_text) + " of " + shown_text(element) +
                     " is not a whole number from 0 to " + std::to_string(largest_count));
    }
    add_part(line, parts, element, *count);
  }

  // A range of the file: its ion by its parts (in the file's order), the
  // name and colour given (empty when none).
  void add_range(std::size_t line, double low, double high, std::optional<double> volume,
                 const std::vector<line_part>& parts, std::string_view name,
                 std::string_view colour) {
    pending_range range;
    range.low = low;
    range.high = high;
    range.line = static_cast<std::uint32_t>(line);
    range.has_volume = volume.has_value();
    range.volume = volume.value_or(0.0);
    if (!(low < high)) {
      fail(line, "the range " + bounds_text(low, high) +
                     " is empty: its low bound is not below its high bound");
    }
    range.ion = ion_of(parts, name, colour);
    // A range given again alike (the same bounds and ion) is counted once
    // and not kept: a real file repeats 48 ranges some 30 times.
    const std::optional<std::size_t> first = first_of_bounds_.find_or_add(pending_, range);
    if (first && same_ion(pending_[*first], range)) {
      duplicate(line, pending_[*first].line);
      return;
    }
    pending_.push_back(range);
  }

  // The ions of the ranges that `ions` does not name, each once, with the
  // line of the first range (in file order) that names it.
  void note_not_in(const std::vector<std::string>& ions) {
    const std::unordered_set<std::string_view> listed(ions.begin(), ions.end());
    std::vector<bool> looked(ions_.size(), false);
    std::unordered_set<std::string_view> missing;
    for (const pending_range& r : pending_) {
      if (looked[r.ion]) continue;
      looked[r.ion] = true;
      for (const ion_part& p : ions_[r.ion].composition) {
        if (listed.count(p.element) == 0 && missing.insert(p.element).second) {
          note(note_kind::not_in_ion_list, r.line, [&] {
            return "the element " + shown_text(p.element) + " is not among the ions of [Ions]";
          });
        }
      }
    }
  }

  // Sorts the ranges; keeps ranges given twice alike once; merges ranges of
  // one ion that overlap into their union; refuses overlaps of different
  // ions. Linear apart from one sort.
  range_file finish() {
    first_of_bounds_ = {};
    // Lines are unique and in file order, so that of equal bounds the first
    // given comes first.
    const auto before = [](const pending_range& a, const pending_range& b) {
      if (a.low != b.low) return a.low < b.low;
      if (a.high != b.high) return a.high < b.high;
      return a.line < b.line;
    };
    if (!std::is_sorted(pending_.begin(), pending_.end(), before)) {
      std::sort(pending_.begin(), pending_.end(), before);
    }
    std::size_t kept = 0;
    for (const pending_range& r : pending_) {
      if (kept > 0) {
        pending_range& last = pending_[kept - 1];
        if (r.low == last.low && r.high == last.high && same_ion(r, last)) {
          duplicate(r.line, last.line);
          continue;
        }
        if (r.low < last.high) {
          if (!same_ion(r, last)) {
            const pending_range& first = last.line < r.line ? last : r;
            const pending_range& second = last.line < r.line ? r : last;
            fail(second.line, "the range " + bounds_text(second.low, second.high) +
                                  " overlaps the range " + bounds_text(first.low, first.high) +
                                  " of line " + std::to_string(first.line));
          }
          const bool within = r.high <= last.high;
          const double old_high = last.high;
          last.high = std::max(last.high, r.high);
          note(note_kind::same_ion_overlap, r.line, [&] {
            return "the range " + bounds_text(r.low, r.high) +
                   (within ? " lies within" : " overlaps") + " the range " +
                   bounds_text(last.low, old_high) + " of line " + std::to_string(last.line) +
                   ", of the same ion " + ion_text(r) + ": read as one range " +
                   bounds_text(last.low, last.high);
          });
          continue;
        }
        if (r.low == last.high) {
          note(note_kind::shared_bound, r.line, [&] {
            return "the range " + bounds_text(r.low, r.high) + " shares the bound " +
                   mass_text(r.low) + " Da with the range of line " + std::to_string(last.line) +
                   "; an ion exactly at it is counted in this one";
          });
        }
      }
      pending_[kept++] = r;
    }
    pending_.resize(kept);
    if (duplicates_ > 0) {
      note(grouped(duplicates_) + " duplicate range" + (duplicates_ == 1 ? "" : "s") +
           " merged: a range given again with the same bounds and ion is counted once (line " +
           std::to_string(first_duplicate_) + " repeats line " + std::to_string(first_duplicated_) +
           ")");
    }
    note_other_names();
    for (std::size_t k = 0; k < note_counts_.size(); ++k) {
      if (note_counts_[k] > listed_notes) {
        note("and " + grouped(note_counts_[k] - listed_notes) + " more " + note_summaries[k] +
             ", not listed one by one");
      }
    }
    // Only now the ranges kept, each with its own copy of its ion.
    file_.ranges.reserve(pending_.size());
    for (const pending_range& r : pending_) {
      const written_ion& ion = ions_[r.ion];
      mass_range range;
      range.low = r.low;
      range.high = r.high;
      range.line = r.line;
      range.composition = ion.composition;
      range.name = ion.name;
      range.colour = ion.colour;
      if (r.has_volume) range.volume = r.volume;
      file_.ranges.push_back(std::move(range));
    }
    return std::move(file_);
  }

 private:
  static std::string bounds_text(double low, double high) {
    return mass_text(low) + "\u2013" + mass_text(high) + " Da";
  }
  std::string ion_text(const pending_range& r) const {
    const std::string& name = ions_[r.ion].name;
    return name.empty() ? std::string("no ion") : name;
  }
  // The same ion: the same elements (in any order and case) with the same
  // counts.
  bool same_ion(const pending_range& a, const pending_range& b) const {
    return ions_[a.ion].same_as == ions_[b.ion].same_as;
  }

  // The index of the ion written so, added when new.
  std::uint32_t ion_of(const std::vector<line_part>& parts, std::string_view name,
                       std::string_view colour) {
    key_.clear();
    for (const line_part& p : parts) {
      key_.append(p.first).push_back('\x1f');
      key_ += std::to_string(p.second);
      key_.push_back('\x1e');
    }
    key_.push_back('\x1d');
    key_.append(name).push_back('\x1d');
    key_.append(colour);
    const auto found = ion_index_.find(key_);
    if (found != ion_index_.end()) return found->second;

    written_ion ion;
    for (const line_part& p : parts) {
      ion.composition.push_back({std::string(p.first), static_cast<int>(p.second)});
    }
    ion.name = name.empty() ? composition_text(ion.composition) : std::string(name);
    ion.colour = std::string(colour);
    // The same ion whatever the order and case of its elements.
    std::vector<std::string> canonical;
    for (const ion_part& p : ion.composition) {
      canonical.push_back(lower_text(p.element) + ":" + std::to_string(p.count));
    }
    std::sort(canonical.begin(), canonical.end());
    std::string same;
    for (const std::string& c : canonical) same += c + " ";
    ion.same_as =
        same_index_.try_emplace(same, static_cast<std::uint32_t>(same_index_.size())).first->second;
    const auto index = static_cast<std::uint32_t>(ions_.size());
    ions_.push_back(std::move(ion));
    ion_index_.emplace(key_, index);
    return index;
  }

  void duplicate(std::size_t line, std::size_t of_line) {
    if (duplicates_++ == 0 || line < first_duplicate_) {
      first_duplicate_ = line;
      first_duplicated_ = of_line;
    }
  }

  // One note naming the ions of the ranges that are no element: they are
  // kept, as ions of their own names.
  void note_other_names() {
    const auto& symbols = element_symbols();
    std::unordered_set<std::string_view> seen;
    std::vector<bool> looked(ions_.size(), false);
    std::vector<std::string_view> others;
    for (const pending_range& r : pending_) {
      if (looked[r.ion]) continue;
      looked[r.ion] = true;
      for (const ion_part& p : ions_[r.ion].composition) {
        if (!seen.insert(p.element).second) continue;
        if (symbols.count(lower_text(p.element)) == 0) others.push_back(p.element);
      }
    }
    if (others.empty()) return;
    std::string names;
    for (std::size_t i = 0; i < others.size() && i < listed_names; ++i) {
      names += (i == 0 ? "" : ", ") + shown_text(others[i]);
    }
    if (others.size() > listed_names) {
      names += " and " + grouped(others.size() - listed_names) + " more";
    }
    note(others.size() == 1
             ? "the ion " + names +
                   " is no element: its ranges are read as ions of that name, with no charge and "
                   "in no element's counts"
             : "the ions " + names +
                   " are no elements: their ranges are read as ions of those names, with no "
                   "charge and in no element's counts");
  }

  range_file file_;
  std::array<std::size_t, static_cast<std::size_t>(note_kind::count)> note_counts_{};
  std::vector<pending_range> pending_;
  std::vector<written_ion> ions_;
  std::unordered_map<std::string, std::uint32_t> ion_index_;   // by how they are written
  std::unordered_map<std::string, std::uint32_t> same_index_;  // by elements and counts
  std::string key_;                                            // reused for lookups
  bounds_index first_of_bounds_;
  std::size_t duplicates_ = 0, first_duplicate_ = 0, first_duplicated_ = 0;
};

std::optional<std::string> hex_colour(std::string_view text) {
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  if (text.size() != 6) return std::nullopt;
  std::string colour;
  for (const char c : text) {
    const char u = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    if (!((u >= '0' && u <= '9') || (u >= 'A' && u <= 'F'))) return std::nullopt;
    colour.push_back(u);
  }
  return colour;
}

// ---- .rrng

void read_rrng_range(reader& in, std::size_t line, std::string_view value,
                     std::vector<std::string_view>& tokens, std::vector<line_part>& parts) {
  split_words(value, tokens);
  if (tokens.size() < 2)
    in.fail(line, "a range needs its low and high bound: " + shown_text(value));
  const double low = in.bound(line, tokens[0], "low");
  const double high = in.bound(line, tokens[1], "high");
  std::optional<double> volume;
  std::string_view name;
  std::optional<std::string> colour;
  bool named = false, coloured = false;
  parts.clear();
  for (std::size_t t = 2; t < tokens.size(); ++t) {
    const std::string_view token = tokens[t];
    const std::size_t colon = token.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == token.size()) {
      in.fail(line, "the token " + shown_text(token) + " is not key:value");
    }
    const std::string_view key = token.substr(0, colon), text = token.substr(colon + 1);
    // Volume, colour and name are not counted: given twice, the first holds.
    if (same_word(key, "vol")) {
      const std::optional<double> v = read_decimal(text);
      if (!v || !std::isfinite(*v) || *v < 0.0) {
        in.fail(line, "the volume " + shown_text(text) + " is not a number of at least 0");
      }
      if (volume) {
        in.note(note_kind::skipped_line, line,
                [&] { return "the volume is given twice; the first is kept"; });
      } else {
        volume = *v;
      }
    } else if (same_word(key, "color") || same_word(key, "colour")) {
      if (coloured) {
        in.note(note_kind::colour, line,
                [&] { return "the colour is given twice; the first is kept"; });
        continue;
      }
      coloured = true;
      colour = hex_colour(text);
      if (!colour) {
        in.note(note_kind::colour, line, [&] {
          return "the colour " + shown_text(text) + " is not six hex digits and is left out";
        });
      }
    } else if (same_word(key, "name")) {
      if (named) {
        in.note(note_kind::skipped_line, line,
                [&] { return "the name is given twice; the first is kept"; });
        continue;
      }
      named = true;
      name = text;
    } else {
      in.add_part(line, parts, key, text);
    }
  }
  in.add_range(line, low, high, volume, parts, name, colour ? std::string_view(*colour) : "");
}

// The number after a key such as "Range12"; nothing when the rest is not one.
std::optional<long long> key_index(std::string_view key, std::string_view prefix) {
  if (!starts_with_word(key, prefix) || key.size() == prefix.size()) return std::nullopt;
  const std::optional<long long> index = read_whole(key.substr(prefix.size()));
  if (!index || *index < 0 || key[prefix.size()] == '+') return std::nullopt;
  return index;
}

range_file parse_rrng(std::string_view text, std::string name, const std::atomic<bool>* cancel) {
  reader in(std::move(name), range_format::rrng);
  enum class section { none, ions, ranges, other };
  section current = section::none;
  bool ranges_seen = false;
  std::optional<long long> declared_ions, declared_ranges;
  std::size_t declared_ions_line = 0, declared_ranges_line = 0;
  std::size_t range_lines = 0;
  std::vector<std::string_view> tokens;
  std::vector<line_part> parts;
  line_reader lines(text, cancel);
  text_line l;
  while (lines.next_content(l)) {
    const std::size_t number = l.number;
    const std::string_view line = l.text;
    if (line.front() == '[') {
      if (line.back() != ']')
        in.fail(number, "the section header " + shown_text(line) + " has no ']'");
      const std::string_view title = trim(line.substr(1, line.size() - 2));
      if (same_word(title, "ions")) {
        current = section::ions;
      } else if (same_word(title, "ranges")) {
        if (ranges_seen) in.fail(number, "a second [Ranges] section");
        current = section::ranges;
        ranges_seen = true;
      } else {
        current = section::other;
        in.note(note_kind::skipped_line, number,
                [&] { return "the section " + shown_text(line) + " is skipped"; });
      }
      continue;
    }
    if (current == section::other) continue;
    if (current == section::none) {
      in.note(note_kind::skipped_line, number, [&] {
        return "the line " + shown_text(line) + " before the first section is skipped";
      });
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) in.fail(number, shown_text(line) + " is not key=value");
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view value = trim(line.substr(equals + 1));
    if (same_word(key, "number")) {
      const std::optional<long long> n = read_whole(value);
      if (!n || *n < 0)
        in.fail(number, "the number " + shown_text(value) + " is not a whole number");
      (current == section::ions ? declared_ions : declared_ranges) = n;
      (current == section::ions ? declared_ions_line : declared_ranges_line) = number;
    } else if (current == section::ions && key_index(key, "ion")) {
      if (value.empty()) in.fail(number, "the ion " + shown_text(key) + " has no name");
      in.file().ions.emplace_back(value);
    } else if (current == section::ranges && key_index(key, "range")) {
      // Keys need not be unique: a file that numbers every range 1 is read
      // in the order of its lines.
      read_rrng_range(in, number, value, tokens, parts);
      ++range_lines;
    } else {
      in.note(note_kind::skipped_line, number,
              [&] { return "the key " + shown_text(key) + " is not known and is skipped"; });
    }
  }
  if (!ranges_seen) in.fail("has no [Ranges] section: this is no .rrng range file");
  const auto check = [&in](std::optional<long long> declared, std::size_t line, std::size_t found,
                           const char* what) {
    if (!declared || static_cast<unsigned long long>(*declared) == found) return;
    const std::string counts = "declares " + std::to_string(*declared) + " " + what + ", but " +
                               std::to_string(found) + " are given";
    if (static_cast<unsigned long long>(*declared) > found) {
      in.fail(line, counts + ": the file may be cut off");
    }
    in.note(line, counts);
  };
  check(declared_ions, declared_ions_line, in.file().ions.size(), "ions");
  check(declared_ranges, declared_ranges_line, range_lines, "ranges");
  // Elements of ranges that the ion list does not name are likely typos.
  if (!in.file().ions.empty()) in.note_not_in(in.file().ions);
  return in.finish();
}

// ---- .rng

std::optional<std::string> colour_of_fractions(std::span<const std::string_view> parts) {
  if (parts.size() != 3) return std::nullopt;
  std::string colour;
  constexpr char digits[] = "0123456789ABCDEF";
  for (const std::string_view part : parts) {
    const std::optional<double> v = read_decimal(part);
    if (!v || !(*v >= 0.0 && *v <= 1.0)) return std::nullopt;
    const auto byte = static_cast<unsigned>(std::lround(*v * 255.0));
    colour.push_back(digits[byte >> 4]);
    colour.push_back(digits[byte & 15u]);
  }
  return colour;
}

// A line of the range table: ". low high counts..." or, as some programs
// write, a running number in place of the dot.
bool starts_range_line(std::string_view line, const std::vector<std::string_view>& tokens) {
  return !tokens.empty() && (line.front() == '.' || read_whole(tokens.front()).has_value());
}

bool all_numbers(std::span<const std::string_view> tokens) {
  return std::all_of(tokens.begin(), tokens.end(),
                     [](std::string_view t) { return read_decimal(t).has_value(); });
}

// One ion of the element list of an .rng file.
struct rng_ion {
  std::string name;  // the short name, as the column headers use it
  std::size_t line;  // of its name
  std::string colour;
  std::size_t part;  // index of its name among the distinct names
};

range_file parse_rng(std::string_view text, std::string name, const std::atomic<bool>* cancel) {
  reader in(std::move(name), range_format::rng);
  line_reader lines(text, cancel);
  std::vector<std::string_view> tokens;

  text_line first;
  if (!lines.next_content(first)) in.fail("is empty: no .rng header line");
  split_words(first.text, tokens);
  const std::optional<long long> ion_count =
      tokens.size() == 2 ? read_whole(tokens[0]) : std::nullopt;
  const std::optional<long long> declared =
      tokens.size() == 2 ? read_whole(tokens[1]) : std::nullopt;
  if (!ion_count || !declared || *ion_count < 0 || *declared < 0 || *ion_count > most_rng_ions) {
    in.fail(first.number, "the first line " + shown_text(first.text) +
                              " is not the numbers of elements and of ranges of an .rng file");
  }

  // The ions: a line with the long name ("Aluminium", "Solute"), then a
  // line "<short name> r g b" with the colour from 0 to 1; the short name is
  // what the column headers and the counts use. Older files give only a
  // name line and "r g b", or "name r g b" on one line.
  std::vector<rng_ion> ions;
  std::vector<std::string> part_names;    // the distinct short names, in order
  std::vector<std::string> part_colours;  // of the first ion of each name
  std::vector<std::size_t> part_lines;    // of the first ion of each name
  std::unordered_map<std::string, std::size_t> part_of_name;
  for (long long e = 0; e < *ion_count; ++e) {
    text_line name_line;
    if (!lines.next_content(name_line)) {
      in.fail("ends before its " + std::to_string(*ion_count) + " elements");
    }
    if (name_line.text.front() == '-' || name_line.text.front() == '.') {
      in.fail(name_line.number,
              "an element's name was expected, not " + shown_text(name_line.text));
    }
    split_words(name_line.text, tokens);
    std::string_view short_name = name_line.text;
    std::vector<std::string_view> colour(tokens.begin(), tokens.end());
    std::size_t colour_line = name_line.number;
    if (tokens.size() == 4 && all_numbers(std::span(tokens).subspan(1))) {
      short_name = tokens[0];
      colour.erase(colour.begin());
    } else {
      text_line c;
      if (!lines.next_content(c)) {
        in.fail("ends before the colour line of the element " + shown_text(name_line.text));
      }
      if (c.text.front() == '-') {
        in.fail(c.number, "the colour line of the element " + shown_text(name_line.text) +
                              " was expected, not the dashed line: fewer elements than the " +
                              std::to_string(*ion_count) + " declared");
      }
      colour_line = c.number;
      split_words(c.text, tokens);
      colour.assign(tokens.begin(), tokens.end());
      if (!read_decimal(tokens.front())) {
        short_name = tokens.front();
        colour.erase(colour.begin());
      }
    }
    rng_ion ion{std::string(short_name), name_line.number, {}, 0};
    if (const auto hex = colour_of_fractions(colour)) {
      ion.colour = *hex;
    } else {
      // Colours are only drawn: a bad one costs nothing but the colour.
      in.note(note_kind::colour, colour_line, [&] {
        return "the colour of " + shown_text(ion.name) +
               " is not three numbers from 0 to 1 (red, green, blue) and is left out";
      });
    }
    const auto emplaced = part_of_name.try_emplace(ion.name, part_names.size());
    ion.part = emplaced.first->second;
    if (emplaced.second) {
      part_names.push_back(ion.name);
      part_colours.push_back(ion.colour);
      part_lines.push_back(ion.line);
    } else {
      in.note(note_kind::element_twice, name_line.number, [&] {
        return "the element " + shown_text(ion.name) + " is given twice (also on line " +
               std::to_string(part_lines[ion.part]) + "); its columns are read as one element";
      });
    }
    in.file().ions.push_back(ion.name);
    ions.push_back(std::move(ion));
  }

  // The dashed line, with the short names of the columns after the dashes
  // (or on the next line).
  text_line header;
  if (!lines.next_content(header) || header.text.front() != '-') {
    in.fail(lines.line_number(), "the dashed line of the element columns was expected");
  }
  std::string_view names = header.text;
  while (!names.empty() && names.front() == '-') names.remove_prefix(1);
  std::vector<std::string_view> columns;
  split_words(names, columns);
  std::size_t header_line = header.number;
  if (columns.empty() && !ions.empty()) {
    if (const text_line* next = lines.peek_content()) {
      split_words(next->text, tokens);
      if (!starts_range_line(next->text, tokens) && tokens.size() == ions.size() &&
          std::none_of(tokens.begin(), tokens.end(),
                       [](std::string_view t) { return read_decimal(t).has_value(); })) {
        header_line = next->number;
        columns = tokens;
        text_line skipped;
        lines.next(skipped);
      }
    }
  }
  // column -> ion; by position when the header names no columns.
  std::vector<std::size_t> column_ion(ions.size());
  for (std::size_t c = 0; c < ions.size(); ++c) column_ion[c] = c;
  if (!columns.empty()) {
    if (columns.size() != ions.size()) {
      in.fail(header_line, "the dashed line names " + std::to_string(columns.size()) +
                               " columns for " + std::to_string(ions.size()) + " elements");
    }
    // The ion of each column name, exactly or else in any case; nothing for
    // a name that is no ion's or that two ions share.
    std::unordered_map<std::string, std::size_t> exact, any_case;
    std::unordered_set<std::string> shared;
    for (std::size_t e = 0; e < ions.size(); ++e) {
      if (!exact.try_emplace(ions[e].name, e).second) shared.insert(ions[e].name);
      any_case.try_emplace(lower_text(ions[e].name), e);
    }
    const auto ion_named = [&](std::string_view t) -> std::optional<std::size_t> {
      const std::string key(t);
      if (shared.count(key) != 0) return std::nullopt;
      if (const auto found = exact.find(key); found != exact.end()) return found->second;
      if (const auto found = any_case.find(lower_text(t)); found != any_case.end()) {
        return found->second;
      }
      return std::nullopt;
    };
    bool in_order = true, by_name = true;
    std::vector<bool> taken(ions.size(), false);
    std::vector<std::size_t> named(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
      in_order = in_order && same_word(columns[c], ions[c].name);
      const std::optional<std::size_t> e = ion_named(columns[c]);
      if (!e || taken[*e]) {
        by_name = false;
      } else {
        taken[*e] = true;
        named[c] = *e;
      }
    }
    if (!in_order && by_name) {
      column_ion = named;
    } else if (!in_order) {
      // Names that are no ion's (placeholders such as "Element1"): the
      // columns follow the ions, unless a name says otherwise.
      std::vector<std::string_view> placeholders;
      for (std::size_t c = 0; c < columns.size(); ++c) {
        if (same_word(columns[c], ions[c].name)) continue;
        const std::optional<std::size_t> e = ion_named(columns[c]);
        if (e || exact.count(std::string(columns[c])) != 0) {
          in.fail(header_line, "the column " + shown_text(columns[c]) +
                                   " names an element that is not in this place of the element "
                                   "list, and other columns name none: the columns cannot be "
                                   "matched to the elements");
        }
        placeholders.push_back(columns[c]);
      }
      std::string listed;
      for (std::size_t i = 0; i < placeholders.size() && i < listed_names; ++i) {
        listed += (i == 0 ? "" : ", ") + shown_text(placeholders[i]);
      }
      if (placeholders.size() > listed_names) {
        listed += " and " + grouped(placeholders.size() - listed_names) + " more";
      }
      in.note(header_line, "the column names " + listed +
                               " are none of the elements; the columns are taken in the order "
                               "of the element list");
    }
  }

  // The range lines: as many as declared, blank lines between them allowed,
  // and more as long as they follow without a blank line.
  const auto wanted = static_cast<unsigned long long>(*declared);
  std::size_t found = 0;
  std::vector<int> counts(part_names.size(), 0);
  std::vector<line_part> parts;
  std::optional<std::size_t> rest;  // the first line after the table that is not read
  text_line l;
  while (lines.next(l)) {
    if (is_comment(l.text)) continue;
    if (l.text.empty()) {
      if (found < wanted) continue;
      if (const text_line* next = lines.peek_content()) rest = next->number;
      break;
    }
    split_words(l.text, tokens);
    if (!starts_range_line(l.text, tokens)) {
      if (found < wanted) {
        in.fail(l.number, shown_text(l.text) + " is not a range line; the file declares " +
                              std::to_string(wanted) + " ranges and gives " +
                              std::to_string(found) + " before it");
      }
      rest = l.number;
      break;
    }
    if (tokens.front() != "." && !read_whole(tokens.front())) {
      in.fail(l.number, shown_text(l.text) + " is not a range line");
    }
    if (tokens.size() != 3 + ions.size()) {
      in.fail(l.number, "a range line holds '.' (or its number), the low and high bound and " +
                            std::to_string(ions.size()) + " counts; " + shown_text(l.text) +
                            " does not");
    }
    const double low = in.bound(l.number, tokens[1], "low");
    const double high = in.bound(l.number, tokens[2], "high");
    std::fill(counts.begin(), counts.end(), 0);
    for (std::size_t c = 0; c < ions.size(); ++c) {
      const rng_ion& ion = ions[column_ion[c]];
      const std::optional<long long> n = read_count(tokens[3 + c]);
      if (!n || *n < 0 || *n > largest_count) {
        in.fail(l.number, "the count " + shown_text(tokens[3 + c]) + " of " + shown_text(ion.name) +
                              " is not a whole number from 0 to " + std::to_string(largest_count));
      }
      int& sum = counts[ion.part];
      sum += static_cast<int>(*n);
      if (sum > largest_count) {
        in.fail(l.number, "the counts of " + shown_text(ion.name) + " add up to more than " +
                              std::to_string(largest_count));
      }
    }
    // In the order of the element list, not of the columns.
    parts.clear();
    std::size_t single = 0;
    for (std::size_t p = 0; p < part_names.size(); ++p) {
      if (counts[p] == 0) continue;
      in.add_part(l.number, parts, part_names[p], static_cast<long long>(counts[p]));
      single = p;
    }
    in.add_range(l.number, low, high, std::nullopt, parts, {},
                 parts.size() == 1 ? std::string_view(part_colours[single]) : "");
    ++found;
  }
  // What follows (the polyatomic block after a blank line) is not read.
  if (rest) in.note(*rest, "the block from this line on (polyatomic ions) is skipped");
  if (wanted > found) {
    in.fail(first.number, "declares " + std::to_string(wanted) + " ranges, but " +
                              std::to_string(found) + " are given: the file may be cut off");
  }
  if (wanted < found) {
    in.note(first.number, "declares " + std::to_string(wanted) + " ranges, but " +
                              std::to_string(found) + " are given");
  }
  return in.finish();
}

}  // namespace

std::string_view format_name(range_format format) {
  return format == range_format::rrng ? "rrng" : "rng";
}

int mass_range::count_of(std::string_view element) const {
  for (const ion_part& p : composition) {
    if (p.element == element) return p.count;
  }
  return 0;
}

std::optional<std::size_t> range_file::find(double mass) const {
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), mass,
                                      [](double m, const mass_range& r) { return m < r.low; });
  if (after == ranges.begin()) return std::nullopt;
  const auto candidate = std::prev(after);
  if (!(mass <= candidate->high)) return std::nullopt;
  return static_cast<std::size_t>(candidate - ranges.begin());
}

std::optional<range_format> range_format_of_extension(const std::filesystem::path& path) {
  const std::string extension = path.extension().string();
  if (same_word(extension, ".rrng")) return range_format::rrng;
  if (same_word(extension, ".rng")) return range_format::rng;
  return std::nullopt;
}

range_file parse_range_text(std::string_view text, std::string name,
                            std::optional<range_format> format, const std::atomic<bool>* cancel) {
  if (text.find('\0') != std::string_view::npos) {
    throw read_error(name + ": holds NUL bytes: this is no range file (a data file?)");
  }
  if (!format) {
    // .rng opens with the numbers of elements and ranges; .rrng has
    // sections in brackets, maybe after a line or two of other text.
    line_reader lines(text);
    text_line first;
    if (lines.next_content(first)) {
      std::vector<std::string_view> tokens;
      split_words(first.text, tokens);
      if (tokens.size() == 2 && read_whole(tokens[0]) && read_whole(tokens[1])) {
        format = range_format::rng;
      } else {
        text_line l = first;
        do {
          if (!l.text.empty() && l.text.front() == '[') format = range_format::rrng;
        } while (!format && lines.next(l));
      }
    }
    if (!format) {
      throw read_error(name +
                       ": is neither an .rrng (sections in brackets) nor an .rng range "
                       "file (first line: the numbers of elements and ranges)");
    }
  }
  return *format == range_format::rrng ? parse_rrng(text, std::move(name), cancel)
                                       : parse_rng(text, std::move(name), cancel);
}

range_file read_range_file(const std::filesystem::path& path, const std::atomic<bool>* cancel) {
  const std::string name = path.string();
  // A regular file only: a pipe without a writer would be waited for.
  const input_file file(path);
  if (file.size() > largest_range_file) {
    throw read_error(name + ": is larger than " + std::to_string(largest_range_file >> 20) +
                     " MiB, too large for a range file (a data file?)");
  }
  std::string text(file.size(), '\0');
  file.read(0, std::as_writable_bytes(std::span(text.data(), text.size())));
  return parse_range_text(text, name, range_format_of_extension(path), cancel);
}

std::string mass_text(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace veltrane::apt
