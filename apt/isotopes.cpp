#include "apt/isotopes.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace veltrane::apt {

namespace detail {
extern const std::string_view isotopes_csv;
}

namespace {

bool same_symbol(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&lower](char x, char y) { return lower(x) == lower(y); });
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = line.find(separator);
    parts.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return parts;
    line.remove_prefix(at + 1);
  }
}

template <class T>
bool read_number(std::string_view text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string isotope::label() const { return std::to_string(mass_number) + symbol; }

const isotope_table& isotope_table::builtin() {
  static const isotope_table table = parse(detail::isotopes_csv);
  return table;
}

isotope_table isotope_table::parse(std::string_view csv) {
  isotope_table table;
  bool header_seen = false;
  std::size_t line_number = 0;
  while (!csv.empty()) {
    const std::size_t end = csv.find('\n');
    std::string_view line = csv.substr(0, end);
    csv.remove_prefix(end == std::string_view::npos ? csv.size() : end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto fail = [line_number](const std::string& what) {
      return std::invalid_argument("isotopes.csv:" + std::to_string(line_number) + ": " + what);
    };
    if (!header_seen) {
      if (line != "symbol,Z,A,mass_u,abundance_percent") {
        throw fail("the header is not \"symbol,Z,A,mass_u,abundance_percent\"");
      }
      header_seen = true;
      continue;
    }
    const auto parts = split(line, ',');
    if (parts.size() != 5)
      throw fail("5 values expected, " + std::to_string(parts.size()) + " found");
    isotope entry;
    entry.symbol = std::string(parts[0]);
    if (entry.symbol.empty() || entry.symbol.size() > 3) throw fail("no element symbol");
    if (!read_number(parts[1], entry.atomic_number) || entry.atomic_number < 1) {
      throw fail("Z is not a whole number above 0");
    }
    if (!read_number(parts[2], entry.mass_number) || entry.mass_number < entry.atomic_number) {
      throw fail("A is not a whole number of at least Z");
    }
    if (!read_number(parts[3], entry.mass_u) || !(entry.mass_u > 0.0) ||
        !std::isfinite(entry.mass_u)) {
      throw fail("the mass is not a positive number");
    }
    if (!read_number(parts[4], entry.abundance_percent) || !(entry.abundance_percent >= 0.0) ||
        !(entry.abundance_percent <= 100.0)) {
      throw fail("the abundance is not a number from 0 to 100");
    }
    if (!table.isotopes_.empty()) {
      const isotope& last = table.isotopes_.back();
      const bool same_element = last.symbol == entry.symbol;
      if (same_element != (last.atomic_number == entry.atomic_number)) {
        throw fail("the symbol and Z do not belong together as on the line before");
      }
      if (same_element ? entry.mass_number <= last.mass_number
                       : entry.atomic_number <= last.atomic_number) {
        throw fail("the isotopes are not in order of Z, then of A");
      }
    }
    table.isotopes_.push_back(std::move(entry));
  }
  if (!header_seen) throw std::invalid_argument("isotopes.csv: no header");
  return table;
}

std::span<const isotope> isotope_table::of(std::string_view symbol) const {
  const auto first = std::find_if(isotopes_.begin(), isotopes_.end(), [symbol](const isotope& i) {
    return same_symbol(i.symbol, symbol);
  });
  const auto last = std::find_if(first, isotopes_.end(), [&first](const isotope& i) {
    return i.atomic_number != first->atomic_number;
  });
  return {first, last};
}

std::span<const isotope> isotope_table::of_atomic_number(int z) const {
  const auto first =
      std::lower_bound(isotopes_.begin(), isotopes_.end(), z,
                       [](const isotope& i, int value) { return i.atomic_number < value; });
  const auto last =
      std::find_if(first, isotopes_.end(), [z](const isotope& i) { return i.atomic_number != z; });
  return {first, last};
}

std::string_view isotope_table::canonical_symbol(std::string_view symbol) const {
  const auto found = of(symbol);
  return found.empty() ? std::string_view() : std::string_view(found.front().symbol);
}

std::vector<std::string_view> isotope_table::symbols() const {
  std::vector<std::string_view> result;
  for (const isotope& i : isotopes_) {
    if (result.empty() || result.back() != i.symbol) result.push_back(i.symbol);
  }
  return result;
}

}  // namespace veltrane::apt
