#include "compute/curves/element_data.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

int largest_n(const element_data& e) {
  int n = 0;
  while (n < 4 && e.energies[static_cast<std::size_t>(n) + 1].value) ++n;
  return n;
}

namespace detail {
extern const std::string_view elements_csv;  // generated from compute/curves/data/elements.csv
}

namespace {

// Splits one line into its fields; a quoted field may hold commas and "".
std::vector<std::string> split_csv_line(std::string_view line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back().push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back().push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back().push_back(c);
    }
  }
  if (quoted) throw std::runtime_error("unterminated quote");
  return fields;
}

// A number as written; the empty text is a quantity that does not exist.
tabulated_value read_value(const std::string& text) {
  tabulated_value v;
  v.text = text;
  if (text.empty()) return v;
  double x = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), x);
  if (error != std::errc{} || end != text.data() + text.size() || !(x > 0.0)) {
    throw std::runtime_error("not a positive number: \"" + text + "\"");
  }
  v.value = x;
  return v;
}

// "NIST semi-empirical: I2,I3" marks those energies; other notes are kept
// with the reference.
void read_ionisation_source(const std::string& field, element_data& e) {
  std::string reference;
  std::size_t start = 0;
  while (start <= field.size()) {
    std::size_t end = field.find("; ", start);
    if (end == std::string::npos) end = field.size();
    const std::string part = field.substr(start, end - start);
    nist_flag flag = nist_flag::measured;
    std::string list;
    if (part.starts_with("NIST semi-empirical: ")) {
      flag = nist_flag::semi_empirical;
      list = part.substr(21);
    } else if (part.starts_with("NIST theoretical: ")) {
      flag = nist_flag::theoretical;
      list = part.substr(18);
    }
    if (flag != nist_flag::measured) {
      for (std::size_t i = 0; i + 1 < list.size(); ++i) {
        if (list[i] == 'I' && list[i + 1] >= '1' && list[i + 1] <= '5') {
          e.energies[static_cast<std::size_t>(list[i + 1] - '1')].flag = flag;
        }
      }
    } else if (!part.empty() && part.find("does not exist") == std::string::npos) {
      reference += (reference.empty() ? "" : "; ") + part;
    }
    start = end + 2;
  }
  e.ionisation_source = reference;
}

}  // namespace

std::vector<element_data> parse_element_data(std::string_view csv) {
  std::vector<element_data> table;
  std::size_t line_number = 0;
  while (!csv.empty()) {
    const std::size_t end = csv.find('\n');
    const std::string_view line = csv.substr(0, end);
    csv.remove_prefix(end == std::string_view::npos ? csv.size() : end + 1);
    ++line_number;
    if (line_number == 1 || line.empty()) continue;  // the header
    try {
      const auto f = split_csv_line(line);
      if (f.size() != 14) throw std::runtime_error("expected 14 fields");
      element_data e;
      e.name = f[0];
      e.symbol = f[1];
      e.atomic_number = std::stoi(f[2]);
      e.work_function = read_value(f[3]);
      if (!e.work_function.value) throw std::runtime_error("no work function");
      for (std::size_t i = 0; i < 5; ++i) e.energies[i] = read_value(f[4 + i]);
      e.work_function_source = f[9];
      read_ionisation_source(f[10], e);
      e.period = std::stoi(f[11]);
      const tabulated_value mass = read_value(f[12]);
      if (!mass.value) throw std::runtime_error("no atomic mass");
      e.atomic_mass = *mass.value;
      e.atomic_mass_source = f[13];
      table.push_back(std::move(e));
    } catch (const std::exception& error) {
      throw std::runtime_error("element data, line " + std::to_string(line_number) + ": " +
                               error.what());
    }
  }
  return table;
}

const std::vector<element_data>& element_data_table() {
  static const std::vector<element_data> table = parse_element_data(detail::elements_csv);
  return table;
}

const element_data* find_element_data(std::string_view name) {
  for (const auto& e : element_data_table()) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

std::string_view flag_text(nist_flag flag) {
  switch (flag) {
    case nist_flag::semi_empirical:
      return "semi-empirical";
    case nist_flag::theoretical:
      return "theoretical";
    case nist_flag::measured:
      break;
  }
  return {};
}

std::string ordinal(int index) {
  static const char* const words[] = {"1st", "2nd", "3rd", "4th", "5th"};
  return (index >= 1 && index <= 5) ? words[index - 1] : std::to_string(index) + "th";
}

std::string source_note(const element_data& e, int index) {
  if (index == 0) return "Work function of " + e.name + ": " + e.work_function_source;
  const auto& v = e.energies[static_cast<std::size_t>(index - 1)];
  std::string note = ordinal(index) + " ionisation energy of " + e.name + ": ";
  if (!v.value) return note + "does not exist (" + std::to_string(e.atomic_number) + " electrons)";
  note += e.ionisation_source;
  if (v.flag != nist_flag::measured) note += "; NIST marks it " + std::string(flag_text(v.flag));
  return note;
}

namespace detail {
extern const std::string_view element_names_csv;  // from compute/curves/data/element_names.csv
}

std::vector<element_name> parse_element_names(std::string_view csv) {
  std::vector<element_name> table;
  std::size_t line_number = 0;
  bool header = true;
  while (!csv.empty()) {
    const std::size_t end = csv.find('\n');
    const std::string_view line = csv.substr(0, end);
    csv.remove_prefix(end == std::string_view::npos ? csv.size() : end + 1);
    ++line_number;
    if (line.empty() || line.front() == '#') continue;
    try {
      const auto f = split_csv_line(line);
      if (header) {
        if (line != "symbol,Z,name,other_names,source") throw std::runtime_error("not the header");
        header = false;
        continue;
      }
      if (f.size() != 5) throw std::runtime_error("expected 5 fields");
      element_name e;
      e.symbol = f[0];
      e.atomic_number = std::stoi(f[1]);
      e.name = f[2];
      if (e.symbol.empty() || e.name.empty() ||
          e.atomic_number != static_cast<int>(table.size()) + 1) {
        throw std::runtime_error("a symbol, a name and the next atomic number are needed");
      }
      for (std::size_t start = 0; start < f[3].size();) {
        const std::size_t stop = std::min(f[3].find(';', start), f[3].size());
        e.other_names.push_back(f[3].substr(start, stop - start));
        start = stop + 1;
      }
      table.push_back(std::move(e));
    } catch (const std::exception& error) {
      throw std::runtime_error("element names, line " + std::to_string(line_number) + ": " +
                               error.what());
    }
  }
  return table;
}

const std::vector<element_name>& element_names() {
  static const std::vector<element_name> table = parse_element_names(detail::element_names_csv);
  return table;
}

namespace {

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t cost = ascii_lower(a[i - 1]) == ascii_lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = above;
    }
  }
  return row[b.size()];
}

named_element named(const element_name& e) {
  named_element n{e.symbol, e.atomic_number, e.name, nullptr};
  for (const auto& d : element_data_table()) {
    if (d.atomic_number == e.atomic_number) n.data = &d;
  }
  return n;
}

}  // namespace

std::vector<std::string> closest_names(const std::string& text,
                                       const std::vector<std::string>& candidates,
                                       std::size_t count) {
  std::vector<std::pair<std::size_t, std::string>> ranked;
  ranked.reserve(candidates.size());
  for (const auto& c : candidates) {
    const bool seen =
        std::any_of(ranked.begin(), ranked.end(), [&c](const auto& r) { return r.second == c; });
    if (!seen) ranked.emplace_back(edit_distance(text, c), c);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> names;
  for (std::size_t i = 0; i < ranked.size() && i < count; ++i) names.push_back(ranked[i].second);
  return names;
}

std::optional<named_element> find_named_element(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // The window's texts first: they are the keys of the model's data.
  for (const auto& d : element_data_table()) {
    if (same_ignoring_case(d.name, text)) {
      for (const auto& e : element_names()) {
        if (e.atomic_number == d.atomic_number) return named(e);
      }
    }
  }
  for (const auto& e : element_names()) {
    bool match = same_ignoring_case(e.symbol, text) || same_ignoring_case(e.name, text);
    for (const auto& other : e.other_names) match = match || same_ignoring_case(other, text);
    if (match) return named(e);
  }
  return std::nullopt;
}

named_element named_element_of(const std::string& text) {
  if (auto e = find_named_element(text)) return *e;
  std::vector<std::string> candidates;
  for (const auto& d : element_data_table()) candidates.push_back(d.name);
  for (const auto& e : element_names()) candidates.push_back(e.name);
  std::string message = "unknown element \"" + text + "\"";
  const auto closest = closest_names(text, candidates);
  if (!closest.empty()) {
    message += "; did you mean ";
    for (std::size_t i = 0; i < closest.size(); ++i) {
      message += (i == 0 ? "" : i + 1 == closest.size() ? " or " : ", ") + closest[i];
    }
    message += "?";
  }
  throw input_refused(message);
}

std::string not_in_model_message(const named_element& element) {
  return element.name + " (" + element.symbol + ") is not one of the " +
         std::to_string(element_data_table().size()) + " elements of the model's table";
}

std::string element_symbol(const std::string& name_or_symbol) {
  return named_element_of(name_or_symbol).symbol;
}

std::string element_list_name(const std::string& name_or_symbol) {
  const auto e = find_named_element(name_or_symbol);
  return e && e->data != nullptr ? e->data->name : name_or_symbol;
}

}  // namespace veltrane
