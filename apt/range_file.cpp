#include "apt/range_file.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <system_error>

#include "apt/input_file.hpp"
#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

constexpr std::size_t largest_range_file = std::size_t{16} << 20;
constexpr int largest_count = 99;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

std::vector<std::string_view> tokens_of(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

// The lines of a text, each with its number; a line ends at LF, CRLF or CR.
struct text_line {
  std::size_t number;
  std::string_view text;  // trimmed
};

std::vector<text_line> lines_of(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<text_line> lines;
  std::size_t number = 1;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    lines.push_back({number++, trim(text.substr(0, end))});
    if (end == std::string_view::npos) break;
    const std::size_t next = text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    text.remove_prefix(next);
  }
  return lines;
}

bool is_comment(std::string_view line) { return !line.empty() && line.front() == '#'; }

// A decimal number with a point or a comma; a leading '+' is allowed.
std::optional<double> read_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::string plain(text);
  const std::size_t comma = plain.find(',');
  if (comma != std::string::npos) {
    if (plain.find('.') != std::string::npos || plain.find(',', comma + 1) != std::string::npos) {
      return std::nullopt;
    }
    plain[comma] = '.';
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (error != std::errc() || end != plain.data() + plain.size()) return std::nullopt;
  return value;
}

std::optional<long long> read_whole(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
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

std::string composition_text(const std::vector<ion_part>& composition) {
  std::string text;
  for (const ion_part& part : composition) {
    text += part.element;
    if (part.count != 1) text += std::to_string(part.count);
  }
  return text;
}

std::string bounds_text(const mass_range& r) {
  return mass_text(r.low) + "\u2013" + mass_text(r.high) + " Da";
}

// Reads what every format shares while lines are parsed: the file name for
// messages, and where to put notes.
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
    return *value;
  }

  void add_range(mass_range range) {
    if (!(range.low < range.high)) {
      fail(range.line, "the range " + bounds_text(range) +
                           " is empty: its low bound is not below its high bound");
    }
    if (range.name.empty()) range.name = composition_text(range.composition);
    file_.ranges.push_back(std::move(range));
  }

  // Sorts the ranges, keeps identical duplicates once and refuses overlaps.
  range_file finish() {
    auto& ranges = file_.ranges;
    std::stable_sort(ranges.begin(), ranges.end(), [](const mass_range& a, const mass_range& b) {
      return a.low != b.low ? a.low < b.low : a.high < b.high;
    });
    std::vector<mass_range> kept;
    kept.reserve(ranges.size());
    for (mass_range& r : ranges) {
      if (!kept.empty()) {
        const mass_range& last = kept.back();
        if (r.low == last.low && r.high == last.high && r.composition == last.composition) {
          note(r.line, "the range " + bounds_text(r) + " of " +
                           (r.name.empty() ? std::string("no ion") : r.name) +
                           " is the same as that of line " + std::to_string(last.line) +
                           " and is counted once");
          continue;
        }
        if (r.low < last.high) {
          const mass_range& first = last.line < r.line ? last : r;
          const mass_range& second = last.line < r.line ? r : last;
          fail(second.line, "the range " + bounds_text(second) + " overlaps the range " +
                                bounds_text(first) + " of line " + std::to_string(first.line));
        }
        if (r.low == last.high) {
          note(r.line, "the range " + bounds_text(r) + " shares the bound " + mass_text(r.low) +
                           " Da with the range of line " + std::to_string(last.line) +
                           "; an ion exactly at it is counted in this one");
        }
      }
      kept.push_back(std::move(r));
    }
    ranges = std::move(kept);
    return std::move(file_);
  }

 private:
  range_file file_;
};

// Adds `count` atoms of `element` to a composition; an element twice is an error.
void add_part(reader& in, std::size_t line, std::vector<ion_part>& composition,
              std::string_view element, std::string_view count_text) {
  const std::optional<long long> count = read_whole(count_text);
  if (!count || *count < 0 || *count > largest_count) {
    in.fail(line, "the count " + shown_text(count_text) + " of " + shown_text(element) +
                      " is not a whole number from 0 to " + std::to_string(largest_count));
  }
  const bool twice = std::any_of(composition.begin(), composition.end(),
                                 [element](const ion_part& p) { return p.element == element; });
  if (twice) in.fail(line, "the element " + shown_text(element) + " is given twice");
  if (*count > 0) composition.push_back({std::string(element), static_cast<int>(*count)});
}

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

mass_range read_rrng_range(reader& in, std::size_t line, std::string_view value) {
  const auto tokens = tokens_of(value);
  if (tokens.size() < 2)
    in.fail(line, "a range needs its low and high bound: " + shown_text(value));
  mass_range range;
  range.line = line;
  range.low = in.bound(line, tokens[0], "low");
  range.high = in.bound(line, tokens[1], "high");
  bool named = false, coloured = false;
  for (std::size_t t = 2; t < tokens.size(); ++t) {
    const std::string_view token = tokens[t];
    const std::size_t colon = token.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == token.size()) {
      in.fail(line, "the token " + shown_text(token) + " is not key:value");
    }
    const std::string_view key = token.substr(0, colon), text = token.substr(colon + 1);
    if (same_word(key, "vol")) {
      if (range.volume) in.fail(line, "the volume is given twice");
      const std::optional<double> volume = read_decimal(text);
      if (!volume || !std::isfinite(*volume) || *volume < 0.0) {
        in.fail(line, "the volume " + shown_text(text) + " is not a number of at least 0");
      }
      range.volume = *volume;
    } else if (same_word(key, "color") || same_word(key, "colour")) {
      if (coloured) in.fail(line, "the colour is given twice");
      coloured = true;
      if (const auto colour = hex_colour(text)) {
        range.colour = *colour;
      } else {
        in.note(line, "the colour " + shown_text(text) + " is not six hex digits and is left out");
      }
    } else if (same_word(key, "name")) {
      if (named) in.fail(line, "the name is given twice");
      named = true;
      range.name = std::string(text);
    } else {
      add_part(in, line, range.composition, key, text);
    }
  }
  return range;
}

// The number after a key such as "Range12"; nothing when the rest is not one.
std::optional<long long> key_index(std::string_view key, std::string_view prefix) {
  if (!starts_with_word(key, prefix) || key.size() == prefix.size()) return std::nullopt;
  const std::optional<long long> index = read_whole(key.substr(prefix.size()));
  if (!index || *index < 0 || key[prefix.size()] == '+') return std::nullopt;
  return index;
}

range_file parse_rrng(std::string_view text, std::string name) {
  reader in(std::move(name), range_format::rrng);
  enum class section { none, ions, ranges, other };
  section current = section::none;
  bool ranges_seen = false;
  std::optional<long long> declared_ions, declared_ranges;
  std::size_t declared_ions_line = 0, declared_ranges_line = 0;
  std::size_t range_lines = 0;
  for (const auto& [number, line] : lines_of(text)) {
    if (line.empty() || is_comment(line)) continue;
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
        in.note(number, "the section " + shown_text(line) + " is skipped");
      }
      continue;
    }
    if (current == section::other) continue;
    if (current == section::none) {
      in.note(number, "the line " + shown_text(line) + " before the first section is skipped");
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
      in.add_range(read_rrng_range(in, number, value));
      ++range_lines;
    } else {
      in.note(number, "the key " + shown_text(key) + " is not known and is skipped");
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
  if (!in.file().ions.empty()) {
    std::set<std::string> missing;
    for (const mass_range& r : in.file().ranges) {
      for (const ion_part& p : r.composition) {
        const auto& ions = in.file().ions;
        if (std::find(ions.begin(), ions.end(), p.element) == ions.end() &&
            missing.insert(p.element).second) {
          in.note(r.line,
                  "the element " + shown_text(p.element) + " is not among the ions of [Ions]");
        }
      }
    }
  }
  return in.finish();
}

// ---- .rng

std::optional<std::string> colour_of_fractions(std::span<const std::string_view> parts) {
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

range_file parse_rng(std::string_view text, std::string name) {
  reader in(std::move(name), range_format::rng);
  const std::vector<text_line> lines = lines_of(text);
  std::size_t at = 0;
  const auto next_content = [&lines, &at]() -> const text_line* {
    while (at < lines.size() && (lines[at].text.empty() || is_comment(lines[at].text))) ++at;
    return at < lines.size() ? &lines[at++] : nullptr;
  };

  const text_line* first = next_content();
  if (first == nullptr) in.fail("is empty: no .rng header line");
  const auto counts = tokens_of(first->text);
  const std::optional<long long> elements =
      counts.size() == 2 ? read_whole(counts[0]) : std::nullopt;
  const std::optional<long long> declared =
      counts.size() == 2 ? read_whole(counts[1]) : std::nullopt;
  if (!elements || !declared || *elements < 0 || *declared < 0 || *elements > 1000) {
    in.fail(first->number, "the first line " + shown_text(first->text) +
                               " is not the numbers of elements and of ranges of an .rng file");
  }

  // The elements: a name line, then a colour line "r g b" (or "name r g b").
  std::vector<std::string> colours;
  for (long long e = 0; e < *elements; ++e) {
    const text_line* name_line = next_content();
    if (name_line == nullptr) in.fail("ends before its " + std::to_string(*elements) + " elements");
    const auto name_tokens = tokens_of(name_line->text);
    std::vector<std::string_view> colour_tokens;
    std::size_t colour_line = name_line->number;
    if (name_tokens.size() == 4) {
      colour_tokens.assign(name_tokens.begin() + 1, name_tokens.end());
    } else if (name_tokens.size() == 1) {
      const text_line* c = next_content();
      if (c == nullptr)
        in.fail("ends before the colour of the element " + shown_text(name_tokens[0]));
      colour_tokens = tokens_of(c->text);
      colour_line = c->number;
      if (colour_tokens.size() == 4) colour_tokens.erase(colour_tokens.begin());
    } else {
      in.fail(name_line->number, shown_text(name_line->text) + " is not an element's name");
    }
    if (name_tokens[0].front() == '-' || name_tokens[0].front() == '.') {
      in.fail(name_line->number,
              "an element's name was expected, not " + shown_text(name_line->text));
    }
    const std::string element(name_tokens[0]);
    auto& ions = in.file().ions;
    if (std::find(ions.begin(), ions.end(), element) != ions.end()) {
      in.fail(name_line->number, "the element " + shown_text(element) + " is given twice");
    }
    ions.push_back(element);
    std::optional<std::string> colour;
    if (colour_tokens.size() == 3) colour = colour_of_fractions(colour_tokens);
    if (!colour) {
      in.fail(colour_line, "the colour of " + shown_text(element) +
                               " is not three numbers from 0 to 1 (red, green, blue)");
    }
    colours.push_back(*colour);
  }

  // The dashed line: the element columns of the range lines.
  const text_line* header = next_content();
  if (header == nullptr || header->text.front() != '-') {
    in.fail(header == nullptr ? lines.size() : header->number,
            "the dashed line of the element columns was expected");
  }
  std::vector<std::size_t> column_element;  // column -> index into ions
  {
    std::string_view names = header->text;
    while (!names.empty() && names.front() == '-') names.remove_prefix(1);
    const auto tokens = tokens_of(names);
    const auto& ions = in.file().ions;
    if (tokens.empty()) {
      for (std::size_t e = 0; e < ions.size(); ++e) column_element.push_back(e);
    } else {
      if (tokens.size() != ions.size()) {
        in.fail(header->number, "the dashed line names " + std::to_string(tokens.size()) +
                                    " columns for " + std::to_string(ions.size()) + " elements");
      }
      for (const std::string_view t : tokens) {
        const auto found = std::find(ions.begin(), ions.end(), t);
        if (found == ions.end()) {
          in.fail(header->number, "the column " + shown_text(t) + " is none of the elements");
        }
        const auto e = static_cast<std::size_t>(found - ions.begin());
        if (std::find(column_element.begin(), column_element.end(), e) != column_element.end()) {
          in.fail(header->number, "the column " + shown_text(t) + " is given twice");
        }
        column_element.push_back(e);
      }
    }
  }

  // The range lines, up to a blank line or the end.
  std::size_t found = 0;
  while (at < lines.size()) {
    const text_line& l = lines[at];
    if (is_comment(l.text)) {
      ++at;
      continue;
    }
    if (l.text.empty() || l.text.front() != '.') break;
    ++at;
    const auto tokens = tokens_of(l.text);
    if (tokens.front() != ".") in.fail(l.number, shown_text(l.text) + " is not a range line");
    if (tokens.size() != 3 + column_element.size()) {
      in.fail(l.number, "a range line holds '.', the low and high bound and " +
                            std::to_string(column_element.size()) + " counts; " +
                            shown_text(l.text) + " does not");
    }
    mass_range range;
    range.line = l.number;
    range.low = in.bound(l.number, tokens[1], "low");
    range.high = in.bound(l.number, tokens[2], "high");
    // Counts in the order of the element list, not of the columns.
    std::vector<std::string_view> count_of(column_element.size());
    for (std::size_t c = 0; c < column_element.size(); ++c)
      count_of[column_element[c]] = tokens[3 + c];
    for (std::size_t e = 0; e < count_of.size(); ++e) {
      add_part(in, l.number, range.composition, in.file().ions[e], count_of[e]);
    }
    if (range.composition.size() == 1) {
      const auto& ions = in.file().ions;
      const auto e = std::find(ions.begin(), ions.end(), range.composition.front().element);
      range.colour = colours[static_cast<std::size_t>(e - ions.begin())];
    }
    in.add_range(std::move(range));
    ++found;
  }
  // What follows (the polyatomic block after a blank line) is not read.
  if (const text_line* rest = next_content()) {
    in.note(rest->number, "the block from this line on (polyatomic ions) is skipped");
  }
  const auto wanted = static_cast<unsigned long long>(*declared);
  if (wanted > found) {
    in.fail(first->number, "declares " + std::to_string(wanted) + " ranges, but " +
                               std::to_string(found) + " are given: the file may be cut off");
  }
  if (wanted < found) {
    in.note(first->number, "declares " + std::to_string(wanted) + " ranges, but " +
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
                            std::optional<range_format> format) {
  if (text.find('\0') != std::string_view::npos) {
    throw read_error(name + ": holds NUL bytes: this is no range file (a data file?)");
  }
  if (!format) {
    // .rng opens with the numbers of elements and ranges; .rrng has
    // sections in brackets, maybe after a line or two of other text.
    const auto lines = lines_of(text);
    const auto first = std::find_if(lines.begin(), lines.end(), [](const text_line& l) {
      return !l.text.empty() && !is_comment(l.text);
    });
    if (first != lines.end()) {
      const auto tokens = tokens_of(first->text);
      if (tokens.size() == 2 && read_whole(tokens[0]) && read_whole(tokens[1])) {
        format = range_format::rng;
      } else if (std::any_of(first, lines.end(), [](const text_line& l) {
                   return !l.text.empty() && l.text.front() == '[';
                 })) {
        format = range_format::rrng;
      }
    }
    if (!format) {
      throw read_error(name +
                       ": is neither an .rrng (sections in brackets) nor an .rng range "
                       "file (first line: the numbers of elements and ranges)");
    }
  }
  return *format == range_format::rrng ? parse_rrng(text, std::move(name))
                                       : parse_rng(text, std::move(name));
}

range_file read_range_file(const std::filesystem::path& path) {
  const std::string name = path.string();
  // A regular file only: a pipe without a writer would be waited for.
  const input_file file(path);
  if (file.size() > largest_range_file) {
    throw read_error(name + ": is larger than " + std::to_string(largest_range_file >> 20) +
                     " MiB, too large for a range file (a data file?)");
  }
  std::string text(file.size(), '\0');
  file.read(0, std::as_writable_bytes(std::span(text.data(), text.size())));
  return parse_range_text(text, name, range_format_of_extension(path));
}

std::string mass_text(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace veltrane::apt
