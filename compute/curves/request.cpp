#include "compute/curves/request.hpp"

#include <cmath>

#include "compute/curves/elements.hpp"

namespace veltrane {

namespace {

request_outcome stop(const char* message) { return {std::nullopt, message}; }

// The spin box's decimal value truncated toward zero; a value no int can hold
// becomes 0, which the count check then refuses.
int truncate_count(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return 0;
  return static_cast<int>(std::trunc(value));
}

}  // namespace

request_outcome read_request(const control_state& controls, const number_format& format) {
  calc_request r;
  r.n = truncate_count(controls.ionisations);

  r.element = controls.element.value_or(std::string{});
  const auto row = find_element(r.element);
  if (row) {
    r.period = row->period;
    r.atomic_mass = row->atomic_mass;
  }

  if (r.n < 1 || r.n > 4) return stop(messages::bad_count);
  // Without an element the model has no period and mass and gives no
  // meaningful curve: ask for one before any box is read.
  if (!row) return stop(messages::no_element);

  // textBox1 (work function) up to the box of I(n+1).
  const std::size_t box_count = static_cast<std::size_t>(r.n) + 2;
  const auto& boxes = controls.boxes;

  if (r.n == 1 && (boxes[1].empty() || boxes[0].empty() || boxes[2].empty())) {
    return stop(messages::empty_box);
  }

  std::vector<double> values;
  values.reserve(box_count);
  for (std::size_t i = 0; i < box_count; ++i) {
    const auto value = parse_number(boxes[i], format);
    if (!value) return stop(messages::bad_number);
    values.push_back(*value);
  }
  r.work_function_ev = values.front();
  r.energies_ev.assign(values.begin() + 1, values.end());
  r.save_text = controls.save_text;
  return {std::move(r), {}};
}

}  // namespace veltrane
