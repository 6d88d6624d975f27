#include "compute/curves/inputs.hpp"

#include <algorithm>
#include <cmath>

#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

checked_request refuse(std::string message) {
  checked_request c;
  c.message = std::move(message);
  return c;
}

}  // namespace

std::vector<std::string> closest_element_names(const std::string& name, std::size_t count) {
  std::vector<std::string> names;
  names.reserve(std::size(element_table));
  for (const auto& row : element_table) names.emplace_back(row.name);
  return closest_names(name, names, count);
}

std::optional<std::string> resolve_element(const std::string& name) {
  const auto e = find_named_element(name);
  if (!e || e->data == nullptr) return std::nullopt;
  return e->data->name;
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == ',') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

std::string unknown_element_message(const std::string& name) {
  if (const auto e = find_named_element(name)) return not_in_model_message(*e);
  std::string message = "unknown element \"" + name + "\"; closest: ";
  const auto names = closest_element_names(name);
  for (std::size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + names[i];
  return message;
}

namespace {

// The energies given are not the n + 1 that n ionisations take.
std::string energy_count_message(int n, std::size_t given) {
  return "--energies needs " + std::to_string(n + 1) + " values for " + std::to_string(n) +
         " ionisations, got " + std::to_string(given);
}

// The work function as given, or the element's built-in one; a message
// instead when neither is a number.
std::optional<std::string> work_function_text(const request_texts& t, const std::string& key,
                                              const element_data* data, std::string* message) {
  if (t.work_function) {
    if (!parse_number(*t.work_function, plain_number_format())) {
      *message = "--work-function is not a number: \"" + *t.work_function + "\"";
      return std::nullopt;
    }
    return *t.work_function;
  }
  if (data == nullptr || !data->work_function.value) {
    *message = key + " has no built-in work function; give --work-function";
    return std::nullopt;
  }
  return data->work_function.text;
}

// The n + 1 ionisation energies as given, or the element's built-in ones.
std::optional<std::vector<std::string>> energy_texts(const request_texts& t, const std::string& key,
                                                     const element_data* data, int count,
                                                     std::string* message) {
  const std::size_t wanted = static_cast<std::size_t>(count) + 1;
  std::vector<std::string> energies;
  if (t.energies) {
    energies = *t.energies;
    if (energies.size() != wanted) {
      *message = energy_count_message(count, energies.size());
      return std::nullopt;
    }
    for (std::size_t i = 0; i < energies.size(); ++i) {
      if (!parse_number(energies[i], plain_number_format())) {
        *message = "ionisation energy " + std::to_string(i + 1) + " is not a number: \"" +
                   energies[i] + "\"";
        return std::nullopt;
      }
    }
    return energies;
  }
  for (std::size_t i = 0; i < wanted; ++i) {
    if (data == nullptr || !data->energies[i].value) {
      *message = key + " has no " + ordinal(static_cast<int>(i) + 1) +
                 " ionisation energy; give --energies";
      return std::nullopt;
    }
    energies.push_back(data->energies[i].text);
  }
  return energies;
}

}  // namespace

checked_request check_request(const request_values& v, const std::string& element_list) {
  const auto key = resolve_element(v.element);
  if (!key) return refuse(unknown_element_message(v.element) + " (" + element_list + ")");
  if (v.n < 1 || v.n > 4) {
    return refuse("--ionisations must be a whole number from 1 to 4, not \"" + std::to_string(v.n) +
                  "\"");
  }
  const element_data* data = find_element_data(*key);
  const request_texts builtin{*key, std::to_string(v.n), std::nullopt, std::nullopt};
  const auto read = [](const std::string& text) {
    return parse_number(text, plain_number_format()).value_or(0.0);
  };
  std::string message;
  calc_request r;
  if (v.work_function) {
    r.work_function_ev = *v.work_function;
  } else {
    const auto text = work_function_text(builtin, *key, data, &message);
    if (!text) return refuse(message);
    r.work_function_ev = read(*text);
  }
  if (v.energies) {
    if (v.energies->size() != static_cast<std::size_t>(v.n) + 1) {
      return refuse(energy_count_message(v.n, v.energies->size()));
    }
    r.energies_ev = *v.energies;
  } else {
    const auto texts = energy_texts(builtin, *key, data, v.n, &message);
    if (!texts) return refuse(message);
    for (const auto& text : *texts) r.energies_ev.push_back(read(text));
  }
  const auto row = find_element(*key);
  r.element = *key;
  r.n = v.n;
  r.save_text = true;
  r.period = row->period;
  r.atomic_mass = row->atomic_mass;
  checked_request c;
  c.request = std::move(r);
  return c;
}

checked_request check_request(const request_texts& t) {
  const auto format = plain_number_format();
  if (t.element.empty()) return refuse("--element is required (or use --example)");
  const auto key = resolve_element(t.element);
  if (!key) {
    return refuse(unknown_element_message(t.element) + " (see --list-elements)");
  }
  if (t.ionisations.empty()) return refuse("--ionisations is required");
  const auto n = parse_number(t.ionisations, format);
  if (!n || *n != std::trunc(*n) || *n < 1 || *n > 4) {
    return refuse("--ionisations must be a whole number from 1 to 4, not \"" + t.ionisations +
                  "\"");
  }
  const element_data* data = find_element_data(*key);
  std::string message;
  const auto work_function = work_function_text(t, *key, data, &message);
  if (!work_function) return refuse(message);
  const auto energies = energy_texts(t, *key, data, static_cast<int>(*n), &message);
  if (!energies) return refuse(message);

  checked_request c;
  c.controls.element = *key;
  c.controls.ionisations = *n;
  c.controls.boxes[0] = *work_function;
  for (std::size_t i = 0; i < energies->size(); ++i) c.controls.boxes[i + 1] = (*energies)[i];
  c.controls.save_text = true;
  request_outcome outcome = read_request(c.controls, format);
  if (!outcome.request) return refuse(outcome.message);
  c.request = std::move(outcome.request);
  return c;
}

built_in_inputs built_in_request(const std::string& element, int n) {
  built_in_inputs out;
  const element_data* data = find_element_data(element);
  if (data == nullptr) {
    out.message = unknown_element_message(element);
    return out;
  }
  const int largest = largest_n(*data);
  const int used = std::clamp(n, 1, std::max(largest, 1));
  if (used < n) {
    out.note = element + " has no " + ordinal(used + 2) +
               " ionisation energy: drawn with n = " + std::to_string(used) +
               ", the largest n its data allow (n = " + std::to_string(n) + " asked for).";
  }
  checked_request checked = check_request(request_texts{element, std::to_string(used), {}, {}});
  out.request = std::move(checked.request);
  out.message = std::move(checked.message);
  return out;
}

}  // namespace veltrane
