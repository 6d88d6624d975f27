// The Python binding: converts arguments and arrays, releases the GIL while
// the model runs, and maps the program's messages to ValueError. Every
// number comes from the C++ libraries.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <future>
#include <limits>
#include <map>
#include <optional>
#include <thread>

#include "apt/charge_assignment.hpp"
#include "apt/data_file.hpp"
#include "apt/range_file.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "python/joint_bindings.hpp"

namespace py = pybind11;
using namespace veltrane;

namespace {

using array = py::array_t<double, py::array::c_style | py::array::forcecast>;

array to_array(const std::vector<double>& values) {
  array a(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

array to_matrix(const std::vector<std::vector<double>>& rows, std::size_t columns) {
  array a({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(columns)});
  double* out = a.mutable_data();
  for (const auto& row : rows) out = std::copy(row.begin(), row.end(), out);
  return a;
}

// Runs `work` on a worker thread without the GIL, looking for Ctrl-C between
// model calls: a signal stops the workers and raises KeyboardInterrupt.
void run_interruptibly(const std::function<void(evaluation_progress&)>& work) {
  evaluation_progress progress;
  std::exception_ptr failure;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    std::promise<void> finished;
    auto done = finished.get_future();
    std::thread worker([&] {
      try {
        work(progress);
      } catch (const calculation_cancelled&) {
      } catch (...) {
        failure = std::current_exception();
      }
      finished.set_value();
    });
    while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      py::gil_scoped_acquire acquire;
      if (PyErr_CheckSignals() != 0) {
        interrupted = true;
        progress.cancel = true;
        break;
      }
    }
    worker.join();
  }
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
}

// The request from Python's arguments, checked as the command line checks it.
calc_request request_of(const std::string& element, int n, std::optional<double> work_function,
                        std::optional<std::vector<double>> energies) {
  const checked_request checked = check_request(
      request_values{element, n, work_function, std::move(energies)}, "see veltrane.elements()");
  if (!checked.request) throw py::value_error(checked.message);
  return *checked.request;
}

// The evaluation a call asks for by name.
charge_state_model method_model(const std::string& method) {
  const auto e = evaluation_named(method);
  if (!e) throw py::value_error("method must be \"accurate\" or \"exact\", not \"" + method + "\"");
  return model_for(*e);
}

py::dict element_dict(const std::string& name) {
  const auto key = resolve_element(name);
  if (!key) {
    throw py::value_error(unknown_element_message(name) + " (see veltrane.elements())");
  }
  const element_row row = *find_element(*key);
  const element_data& data = *find_element_data(*key);
  py::list energies, flags;
  for (const auto& e : data.energies) {
    energies.append(e.value ? py::cast(*e.value) : py::none());
    flags.append(
        e.value ? py::cast(std::string(flag_text(e.flag).empty() ? "measured" : flag_text(e.flag)))
                : py::none());
  }
  py::dict d;
  d["name"] = *key;
  d["symbol"] = data.symbol;
  d["atomic_number"] = data.atomic_number;
  d["period"] = row.period;
  d["mass"] = row.atomic_mass;
  d["work_function"] = *data.work_function.value;
  d["energies"] = energies;
  d["energy_flags"] = flags;
  d["work_function_source"] = data.work_function_source;
  d["ionisation_source"] = data.ionisation_source;
  return d;
}

py::list curves(const std::string& element, int n, std::optional<double> work_function,
                std::optional<std::vector<double>> energies, unsigned threads) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  sweep_plan plan = plan_sweeps(request);
  run_interruptibly([&](evaluation_progress& progress) {
    if (!evaluate_plan(plan, prescribed_model(), threads, &progress)) throw calculation_cancelled();
  });
  py::list steps;
  for (const auto& step : plan.curves.steps) {
    std::vector<double> E, F, Q;
    for (const auto& p : step.points) {
      E.push_back(p.E);
      F.push_back(p.F);
      Q.push_back(p.Q);
    }
    py::dict d;
    d["j"] = step.j;
    d["E"] = to_array(E);
    d["F"] = to_array(F);
    d["Q"] = to_array(Q);
    steps.append(d);
  }
  return steps;
}

py::dict fractions(const std::string& element, int n, const array& E,
                   std::optional<double> work_function, std::optional<std::vector<double>> energies,
                   unsigned threads, const std::string& method) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  if (E.ndim() != 1) throw py::value_error("E must be a one-dimensional array of fields in V/nm");
  const std::vector<double> fields(E.data(), E.data() + E.size());
  for (double e : fields) {
    if (!std::isfinite(e)) throw py::value_error("the fields must be finite numbers");
    // The model has no value at a field of 0 or below.
    if (!(e > 0.0)) throw py::value_error("fields must be above 0 V/nm");
  }
  fraction_table table;
  field_model model(request, method_model(method), threads);
  run_interruptibly([&](evaluation_progress& progress) {
    model.set_progress(&progress);
    table = fraction_table_at(model.states(), fields);
  });
  std::vector<double> barriers;
  for (const auto& ob : table.barriers) barriers.push_back(ob.at_v_per_nm());
  py::dict d;
  d["E"] = to_array(fields);
  d["Q"] = to_matrix(table.Q_tilde, fields.size());
  d["f"] = to_matrix(table.f, fields.size());
  d["E_ob"] = to_array(barriers);
  return d;
}

py::list equal_abundance_of(const std::string& element, int n, std::optional<double> work_function,
                            std::optional<std::vector<double>> energies, unsigned threads,
                            const std::string& method) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  std::vector<over_barrier> barriers;
  std::vector<ratio_fields> fields;
  field_model model(request, method_model(method), threads);
  run_interruptibly([&](evaluation_progress& progress) {
    model.set_progress(&progress);
    barriers = model.states().over_barrier_fields();
    for (int k = 1; k <= request.n; ++k) fields.push_back(equal_abundance(model.states(), k));
  });
  py::list rows;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    py::dict d;
    d["pair"] = py::make_tuple(k + 1, k + 2);
    d["E_ob"] = barriers[k].at_v_per_nm();
    d["F"] = fields[k].field() ? py::cast(*fields[k].field()) : py::none();
    rows.append(d);
  }
  return rows;
}

py::list crossings_of(const ratio_fields& r) {
  py::list list;
  for (const auto& c : r.crossings)
    list.append(py::make_tuple(c.E, c.rising ? "rising" : "falling"));
  return list;
}

// Any array-like as a C-ordered array of doubles (at least one-dimensional,
// as the model's broadcast calls have always returned).
array as_doubles(const py::handle& values) {
  using namespace py::literals;
  return py::module_::import("numpy")
      .attr("ascontiguousarray")(values, "dtype"_a = "float64")
      .cast<array>();
}

// Any array-like as a C-ordered array of doubles of its own shape (a 0-d
// array stays 0-d).
array as_shaped_doubles(const py::handle& values) {
  using namespace py::literals;
  return py::module_::import("numpy")
      .attr("asarray")(values, "dtype"_a = "float64", "order"_a = "C")
      .cast<array>();
}

// An array of `shape` holding `values` in C order.
array shaped(const std::vector<double>& values, const std::vector<py::ssize_t>& shape) {
  array a(shape);
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

std::vector<py::ssize_t> shape_of(const array& a) {
  return std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim());
}

// The pair of neighbouring states written either way round: k of the lower
// state k+.
int pair_k(std::pair<int, int> pair, int n) {
  std::string message;
  const auto k =
      check_pair(std::max(pair.first, pair.second), std::min(pair.first, pair.second), n, &message);
  if (!k) throw py::value_error(message);
  return *k;
}

// "ratio[3, 1]": the place of a value in an array of this shape, as NumPy
// would index it.
std::string element_name(const std::string& name, std::size_t flat,
                         const std::vector<py::ssize_t>& shape) {
  if (shape.empty()) return name;
  std::vector<std::size_t> index(shape.size());
  for (std::size_t d = shape.size(); d-- > 0;) {
    const auto extent = static_cast<std::size_t>(shape[d]);
    index[d] = flat % extent;
    flat /= extent;
  }
  std::string text = name + "[";
  for (std::size_t d = 0; d < index.size(); ++d) {
    text += (d == 0 ? "" : ", ") + std::to_string(index[d]);
  }
  return text + "]";
}

// The first value that has a fault is refused, named by its place:
// "ratio[17] = -1 is not above 0".
template <class Fault>
void check_each(const std::string& name, const std::vector<double>& values,
                const std::vector<py::ssize_t>& shape, Fault fault) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string why = fault(values[i]);
    if (why.empty()) continue;
    throw py::value_error(element_name(name, i, shape) + " = " + shortest_number(values[i]) + " " +
                          why);
  }
}

void check_level(double confidence) {
  if (const std::string fault = confidence_fault(confidence); !fault.empty()) {
    throw py::value_error(fault);
  }
}

// The fields of many ratios of one pair: the model's ratio curve is
// tabulated once and inverted for all of them.
py::dict ratio_array_fields(const calc_request& request, std::pair<int, int> pair,
                            const py::object& ratio, unsigned threads, const std::string& method) {
  const int k = pair_k(pair, request.n);
  const array r = as_shaped_doubles(ratio);
  const std::vector<double> ratios(r.data(), r.data() + r.size());
  check_each("ratio", ratios, shape_of(r), ratio_fault);
  field_model model(request, method_model(method), threads);
  std::vector<double> E;
  run_interruptibly([&](evaluation_progress& progress) {
    model.set_progress(&progress);
    E = fields_of_ratios(model, k, ratios);
  });
  py::dict d;
  d["pair"] = py::make_tuple(k, k + 1);
  d["ratio"] = shaped(ratios, shape_of(r));
  d["E"] = shaped(E, shape_of(r));
  return d;
}

py::object field_from_ratio_of(const std::string& element, int n, std::pair<int, int> pair,
                               const py::object& ratio, const py::object& counts, double confidence,
                               std::optional<double> work_function,
                               std::optional<std::vector<double>> energies, unsigned threads,
                               const std::string& method, bool sensitivity) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  if (ratio.is_none() == counts.is_none()) {
    throw py::value_error("give either ratio or counts");
  }
  check_level(confidence);
  if (py::isinstance<py::array>(ratio) || py::isinstance<py::list>(ratio) ||
      py::isinstance<py::tuple>(ratio)) {
    if (sensitivity) throw py::value_error("sensitivity is for a single ratio, not an array");
    return ratio_array_fields(request, pair, ratio, threads, method);
  }
  // The pair may be written either way round: the ratio is N(upper)/N(lower)
  // and the counts are (N(lower), N(upper)) whatever the order.
  pair_measurement m;
  m.k = pair_k(pair, n);
  m.confidence = confidence;
  std::string typed_ratio, typed_lower, typed_upper;
  if (!ratio.is_none()) {
    try {
      m.ratio = ratio.cast<double>();
    } catch (const py::cast_error&) {
      throw py::type_error("ratio must be a number, or an array or list of numbers");
    }
    typed_ratio = shortest_text(*m.ratio);
  } else {
    const auto values = counts.cast<std::vector<double>>();
    if (values.size() != 2)
      throw py::value_error("counts must be two numbers, of the pair's states");
    m.count_lower = values[0];
    m.count_upper = values[1];
    typed_lower = shortest_text(values[0]);
    typed_upper = shortest_text(values[1]);
  }
  const std::string fault = measurement_fault(m, n, typed_ratio, typed_lower, typed_upper);
  if (!fault.empty()) throw py::value_error(fault);
  field_model model(request, method_model(method), threads);
  std::optional<measured_field> found;
  run_interruptibly([&](evaluation_progress& progress) {
    model.set_progress(&progress);
    found = measure_field(model, m, sensitivity);
  });
  if (!found->field()) throw py::value_error(found->fields.unreachable_message());
  py::dict d;
  d["pair"] = py::make_tuple(m.k, m.k + 1);
  d["ratio"] = found->ratio();
  d["E"] = *found->field();
  d["crossings"] = crossings_of(found->fields);
  d["monotonic"] = found->fields.monotonic;
  if (found->counted) {
    d["interval"] = py::make_tuple(found->low(), found->high());
    d["confidence"] = confidence;
    d["ratio_interval"] = py::make_tuple(found->counted->ratio_low, found->counted->ratio_high);
  }
  if (sensitivity) {
    // The model's sensitivity to its inputs, not a confidence interval.
    py::list list;
    for (const auto& shift : found->shifts) {
      py::dict row;
      row["input"] = shift.input;
      row["minus"] = shift.minus;
      row["plus"] = shift.plus;
      list.append(row);
    }
    d["sensitivity"] = list;
  }
  return d;
}

array probability(const py::object& E, const py::object& B, const py::object& phi,
                  const py::object& m, const py::object& n, const py::object& m_ion,
                  const py::object& u, unsigned threads, const std::string& method) {
  const charge_state_model model = method_model(method);
  py::module_ np = py::module_::import("numpy");
  const py::tuple b = np.attr("broadcast_arrays")(E, B, phi, m, n, m_ion, u);
  std::vector<array> arrays;
  for (std::size_t i = 0; i < 7; ++i) arrays.push_back(as_doubles(b[i]));
  const std::size_t count = static_cast<std::size_t>(arrays[0].size());
  std::vector<model_call> calls(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double mi = arrays[3].data()[i], ni = arrays[4].data()[i];
    if (mi != std::trunc(mi) || ni != std::trunc(ni) || std::fabs(mi) > 1e9 ||
        std::fabs(ni) > 1e9) {
      throw py::value_error("m and n must be whole numbers");
    }
    calls[i] = {arrays[0].data()[i],  arrays[1].data()[i],  arrays[2].data()[i],
                static_cast<int>(mi), static_cast<int>(ni), arrays[5].data()[i],
                arrays[6].data()[i]};
  }
  std::vector<double> Q;
  run_interruptibly([&](evaluation_progress& progress) {
    auto result = evaluate_calls(calls, model.function, threads, &progress);
    if (!result) throw calculation_cancelled();
    Q = std::move(*result);
  });
  std::vector<py::ssize_t> shape(arrays[0].shape(), arrays[0].shape() + arrays[0].ndim());
  array out(shape);
  std::copy(Q.begin(), Q.end(), out.mutable_data());
  return out;
}

py::dict field_from_counts_of(const std::string& element, int n, std::pair<int, int> pair,
                              const py::object& lower, const py::object& upper, double confidence,
                              std::optional<double> work_function,
                              std::optional<std::vector<double>> energies, unsigned threads,
                              const std::string& method) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  const int k = pair_k(pair, n);
  check_level(confidence);
  const py::tuple b = py::module_::import("numpy").attr("broadcast_arrays")(lower, upper);
  const array a_lower = as_shaped_doubles(b[0]), a_upper = as_shaped_doubles(b[1]);
  const std::vector<double> N_lower(a_lower.data(), a_lower.data() + a_lower.size());
  const std::vector<double> N_upper(a_upper.data(), a_upper.data() + a_upper.size());
  check_each("lower", N_lower, shape_of(a_lower), count_fault);
  check_each("upper", N_upper, shape_of(a_upper), count_fault);
  field_model model(request, method_model(method), threads);
  std::vector<pair_field> fields;
  run_interruptibly([&](evaluation_progress& progress) {
    model.set_progress(&progress);
    fields = fields_of_counts(model, k, N_lower, N_upper, confidence);
  });
  const auto shape = shape_of(a_lower);
  const auto column = [&](double pair_field::*member) {
    std::vector<double> values;
    values.reserve(fields.size());
    for (const auto& f : fields) values.push_back(f.*member);
    return shaped(values, shape);
  };
  py::dict d;
  d["pair"] = py::make_tuple(k, k + 1);
  d["confidence"] = confidence;
  d["E"] = column(&pair_field::E);
  d["E_low"] = column(&pair_field::E_low);
  d["E_high"] = column(&pair_field::E_high);
  d["ratio"] = column(&pair_field::ratio);
  d["ratio_low"] = column(&pair_field::ratio_low);
  d["ratio_high"] = column(&pair_field::ratio_high);
  return d;
}

py::list strings(const std::vector<std::string>& texts) {
  py::list list;
  for (const auto& t : texts) list.append(t);
  return list;
}

py::object text_or_none(std::string_view text) {
  return text.empty() ? py::none() : py::cast(std::string(text));
}

// The columns of a data file: float32 as stored, and the counts of pulses
// and hits as uint32.
struct float_column {
  const char* name;
  apt::columns group;
  std::vector<float> apt::ion_columns::*values;
};
constexpr float_column float_columns[] = {
    {"mass", apt::columns::none, &apt::ion_columns::mass},
    {"x", apt::columns::position, &apt::ion_columns::x},
    {"y", apt::columns::position, &apt::ion_columns::y},
    {"z", apt::columns::position, &apt::ion_columns::z},
    {"det_x", apt::columns::detector, &apt::ion_columns::det_x},
    {"det_y", apt::columns::detector, &apt::ion_columns::det_y},
    {"tof", apt::columns::tof, &apt::ion_columns::tof},
    {"v_dc", apt::columns::dc_voltage, &apt::ion_columns::v_dc},
    {"v_pulse", apt::columns::pulse_voltage, &apt::ion_columns::v_pulse},
};
struct count_column {
  const char* name;
  apt::columns group;
  std::vector<std::uint32_t> apt::ion_columns::*values;
};
constexpr count_column count_columns[] = {
    {"multiplicity", apt::columns::multiplicity, &apt::ion_columns::multiplicity},
    {"pulse_delta", apt::columns::pulse_delta, &apt::ion_columns::pulse_delta},
};

py::dict read_data(const std::filesystem::path& path) {
  std::optional<apt::dataset> data;
  run_interruptibly([&](evaluation_progress&) { data = open_dataset(path); });
  const auto ions = static_cast<py::ssize_t>(data->ion_count());
  py::dict d;
  // The arrays are made with the GIL and filled without it, chunk by chunk.
  std::vector<std::pair<const float_column*, float*>> floats;
  std::vector<std::pair<const count_column*, std::uint32_t*>> counts;
  for (const auto& c : float_columns) {
    if (!data->has(c.group)) continue;
    py::array_t<float> a(ions);
    floats.emplace_back(&c, a.mutable_data());
    d[c.name] = a;
  }
  for (const auto& c : count_columns) {
    if (!data->has(c.group)) continue;
    py::array_t<std::uint32_t> a(ions);
    counts.emplace_back(&c, a.mutable_data());
    d[c.name] = a;
  }
  run_interruptibly([&](evaluation_progress& progress) {
    bool whole = false;
    reading_dataset([&] {
      whole = data->for_each_chunk(
          [&](const apt::ion_chunk& chunk) {
            if (progress.cancel) return false;
            const auto first = static_cast<std::ptrdiff_t>(chunk.first);
            for (const auto& [c, out] : floats) {
              const auto& values = chunk.*(c->values);
              std::copy(values.begin(), values.end(), out + first);
            }
            for (const auto& [c, out] : counts) {
              const auto& values = chunk.*(c->values);
              std::copy(values.begin(), values.end(), out + first);
            }
            return true;
          },
          apt::default_chunk_ions, data->present());
    });
    if (!whole) throw calculation_cancelled();
  });
  d["format"] = std::string(apt::format_name(data->format()));
  d["voltage_unit"] = text_or_none(apt::unit_symbol(data->voltages()));
  d["notes"] = strings(data->notes());
  return d;
}

py::dict isotope_dict(const apt::isotope& i) {
  py::dict d;
  d["label"] = i.label();
  d["mass_number"] = i.mass_number;
  d["mass"] = i.mass_u;
  d["abundance_percent"] = i.abundance_percent;
  return d;
}

py::list isotope_list(const std::vector<apt::isotope>& isotopes) {
  py::list list;
  for (const auto& i : isotopes) list.append(isotope_dict(i));
  return list;
}

const char* status_name(apt::charge_status status) {
  switch (status) {
    case apt::charge_status::assigned:
      return "assigned";
    case apt::charge_status::ambiguous:
      return "ambiguous";
    case apt::charge_status::no_isotope:
      return "no_isotope";
    case apt::charge_status::unknown_element:
      return "unknown_element";
    case apt::charge_status::molecular:
      return "molecular";
    case apt::charge_status::no_ion:
      break;
  }
  return "no_ion";
}

py::object read_ranges(const std::filesystem::path& path, bool notes) {
  std::optional<apt::range_file> file;
  std::vector<apt::charge_assignment> assignments;
  run_interruptibly([&](evaluation_progress&) {
    file = open_range_file(path);
    assignments = apt::assign_charges(*file);
  });
  py::list ranges;
  for (std::size_t i = 0; i < file->ranges.size(); ++i) {
    const apt::mass_range& r = file->ranges[i];
    const apt::charge_assignment& a = assignments[i];
    py::list ions;
    for (const auto& part : r.composition) ions.append(py::make_tuple(part.element, part.count));
    py::dict d;
    d["low"] = r.low;
    d["high"] = r.high;
    d["ions"] = ions;
    d["name"] = r.name;
    d["colour"] = text_or_none(r.colour);
    d["volume"] = r.volume ? py::cast(*r.volume) : py::none();
    d["charge"] = a.assigned() ? py::cast(a.charge) : py::none();
    d["status"] = status_name(a.status);
    d["fitting_charges"] = a.fitting_charges;
    d["isotopes"] = isotope_list(a.isotopes);
    d["abundance_percent"] = a.abundance_percent;
    d["message"] = text_or_none(a.message);
    d["line"] = r.line;
    ranges.append(d);
  }
  if (!notes) return ranges;
  return py::make_tuple(ranges, strings(file->notes));
}

counting_options counting_of(bool single_hits, bool background, unsigned threads,
                             evaluation_progress& progress) {
  counting_options o;
  o.single_hits = single_hits;
  o.background = background;
  o.threads = threads;
  o.cancel = &progress.cancel;
  return o;
}

py::dict charge_state_counts(const std::filesystem::path& data_path,
                             const std::filesystem::path& ranges_path,
                             std::optional<std::string> element, bool single_hits, bool background,
                             unsigned threads) {
  std::optional<apt::range_file> file;
  dataset_counts counts;
  run_interruptibly([&](evaluation_progress& progress) {
    dataset_inputs in = read_inputs(data_path, ranges_path);
    counts = count_charge_states(in.data, in.ranges, element.value_or(""),
                                 counting_of(single_hits, background, threads, progress));
    file = std::move(in.ranges);
  });
  py::list charges;
  for (const auto& q : counts.charges) {
    py::list ranges;
    for (std::size_t i : q.ranges) {
      ranges.append(py::make_tuple(file->ranges[i].low, file->ranges[i].high));
    }
    py::dict d;
    d["symbol"] = q.symbol;
    d["charge"] = q.charge;
    d["counts"] = q.counts;
    d["background"] = q.background;
    d["net"] = q.net;
    d["abundance_percent"] = q.abundance_percent;
    d["corrected"] = q.corrected;
    d["isotopes"] = isotope_list(q.isotopes);
    d["ranges"] = ranges;
    charges.append(d);
  }
  py::list interferences;
  for (const auto& i : counts.interferences) interferences.append(i.message);
  py::dict d;
  d["symbol"] = text_or_none(counts.symbol);
  d["charges"] = charges;
  d["messages"] = strings(counts.messages);
  d["interferences"] = interferences;
  d["ions"] = counts.ions;
  d["counted_ions"] = counts.counted_ions;
  d["single_hits"] = counts.single_hits;
  d["background"] = counts.background;
  return d;
}

py::dict pair_field_dict(const pair_field& f, double factor) {
  py::dict d;
  d["pair"] = py::make_tuple(f.k, f.k + 1);
  d["counts"] = py::make_tuple(static_cast<std::uint64_t>(f.count_lower),
                               static_cast<std::uint64_t>(f.count_upper));
  d["net"] = py::make_tuple(f.net_lower, f.net_upper);
  d["factor"] = factor;
  d["confidence"] = f.confidence;
  d["ratio"] = f.ratio;
  d["ratio_interval"] = py::make_tuple(f.ratio_low, f.ratio_high);
  d["E"] = f.E;
  d["E_low"] = f.E_low;
  d["E_high"] = f.E_high;
  return d;
}

// What a field from a dataset is computed with: the model of the request
// and the pair, checked before any file is read.
struct dataset_field_request {
  calc_request request;
  charge_state_model model;
  int k = 0;
};

dataset_field_request field_request_of(const std::string& element, int n, std::pair<int, int> pair,
                                       double confidence, std::optional<double> work_function,
                                       std::optional<std::vector<double>> energies,
                                       const std::string& method) {
  // The element by its name or its symbol, as on the command line.
  dataset_field_request r{
      request_of(element_list_name(element), n, work_function, std::move(energies)),
      method_model(method), pair_k(pair, n)};
  check_level(confidence);
  return r;
}

// Runs `compute(data, file, inverter, counting)` without the GIL on the
// opened files and the inversion of the pair's ratio curve.
void with_inverter(const std::filesystem::path& data_path, const std::filesystem::path& ranges_path,
                   const dataset_field_request& r, bool single_hits, bool background,
                   unsigned threads,
                   const std::function<void(const apt::dataset&, const apt::range_file&,
                                            ratio_inverter&, const counting_options&)>& compute) {
  run_interruptibly([&](evaluation_progress& progress) {
    const dataset_inputs in = read_inputs(data_path, ranges_path);
    field_model model(r.request, r.model, threads);
    model.set_progress(&progress);
    compute(in.data, in.ranges, model.inverter(r.k),
            counting_of(single_hits, background, threads, progress));
  });
}

py::dict field_map_of(const std::filesystem::path& data_path,
                      const std::filesystem::path& ranges_path, const std::string& element, int n,
                      std::pair<int, int> pair, const std::string& over, double bin,
                      std::int64_t min_counts, double confidence, bool single_hits, bool background,
                      std::optional<double> work_function,
                      std::optional<std::vector<double>> energies, unsigned threads,
                      const std::string& method) {
  const dataset_field_request r =
      field_request_of(element, n, pair, confidence, work_function, std::move(energies), method);
  if (over != "detector" && over != "specimen") {
    throw py::value_error("over must be \"detector\" or \"specimen\", not \"" + over + "\"");
  }
  if (min_counts < 0) throw py::value_error("min_counts must be a whole number of at least 0");
  map_options options;
  options.over = over == "detector" ? map_plane::detector : map_plane::specimen;
  options.bin = bin;
  options.min_counts = static_cast<std::uint64_t>(min_counts);
  options.confidence = confidence;
  field_map map;
  with_inverter(data_path, ranges_path, r, single_hits, background, threads,
                [&](const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const counting_options& counting) {
                  options.counting = counting;
                  map = map_field(data, file, inverter, options);
                });
  // The bins as dense arrays over i_min..i_max, j_min..j_max.
  const std::int64_t ni = map.i_max - map.i_min + 1, nj = map.j_max - map.j_min + 1;
  constexpr double most_cells = 1 << 28;
  if (static_cast<double>(ni) * static_cast<double>(nj) > most_cells) {
    throw py::value_error("the map's bins span " + std::to_string(ni) + " x " + std::to_string(nj) +
                          " cells, too many for arrays; take larger bins");
  }
  std::vector<double> x_edges, y_edges;
  for (std::int64_t i = 0; i <= ni; ++i) {
    x_edges.push_back(static_cast<double>(map.i_min + i) * map.bin);
  }
  for (std::int64_t j = 0; j <= nj; ++j) {
    y_edges.push_back(static_cast<double>(map.j_min + j) * map.bin);
  }
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(ni), static_cast<py::ssize_t>(nj)};
  const auto cells = static_cast<std::size_t>(ni * nj);
  constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
  py::array_t<std::int64_t> N_lower(shape), N_upper(shape);
  py::array_t<bool> masked(shape);
  std::fill_n(N_lower.mutable_data(), cells, 0);
  std::fill_n(N_upper.mutable_data(), cells, 0);
  std::fill_n(masked.mutable_data(), cells, true);
  std::vector<double> net_lower(cells, 0.0), net_upper(cells, 0.0);
  std::vector<double> ratio(cells, nan_value), ratio_low(cells, nan_value),
      ratio_high(cells, nan_value), E(cells, nan_value), E_low(cells, nan_value),
      E_high(cells, nan_value);
  for (const auto& b : map.bins) {
    const auto c = static_cast<std::size_t>((b.i - map.i_min) * nj + (b.j - map.j_min));
    const pair_field& f = b.field;
    N_lower.mutable_data()[c] = static_cast<std::int64_t>(f.count_lower);
    N_upper.mutable_data()[c] = static_cast<std::int64_t>(f.count_upper);
    masked.mutable_data()[c] = b.masked;
    net_lower[c] = f.net_lower;
    net_upper[c] = f.net_upper;
    ratio[c] = f.ratio;
    ratio_low[c] = f.ratio_low;
    ratio_high[c] = f.ratio_high;
    E[c] = f.E;
    E_low[c] = f.E_low;
    E_high[c] = f.E_high;
  }
  py::dict d;
  d["over"] = over;
  d["bin"] = map.bin;
  d["x_edges"] = to_array(x_edges);
  d["y_edges"] = to_array(y_edges);
  d["N_lower"] = N_lower;
  d["N_upper"] = N_upper;
  d["net_lower"] = shaped(net_lower, shape);
  d["net_upper"] = shaped(net_upper, shape);
  d["ratio"] = shaped(ratio, shape);
  d["ratio_low"] = shaped(ratio_low, shape);
  d["ratio_high"] = shaped(ratio_high, shape);
  d["E"] = shaped(E, shape);
  d["E_low"] = shaped(E_low, shape);
  d["E_high"] = shaped(E_high, shape);
  d["masked"] = masked;
  d["without_position"] = map.without_position;
  d["overall"] = pair_field_dict(map.overall.field, map.overall.factor);
  d["messages"] = strings(map.messages);
  return d;
}

py::dict field_profile_of(const std::filesystem::path& data_path,
                          const std::filesystem::path& ranges_path, const std::string& element,
                          int n, std::pair<int, int> pair, std::int64_t block, double confidence,
                          bool single_hits, bool background, std::optional<double> work_function,
                          std::optional<std::vector<double>> energies, unsigned threads,
                          const std::string& method) {
  const dataset_field_request r =
      field_request_of(element, n, pair, confidence, work_function, std::move(energies), method);
  profile_options options;
  // A block below 1 ion is refused by the profile itself, in its words.
  options.block = block < 1 ? 0 : static_cast<std::uint64_t>(block);
  options.confidence = confidence;
  field_profile profile;
  with_inverter(data_path, ranges_path, r, single_hits, background, threads,
                [&](const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const counting_options& counting) {
                  options.counting = counting;
                  profile = profile_field(data, file, inverter, options);
                });
  const auto blocks = static_cast<py::ssize_t>(profile.blocks.size());
  py::array_t<std::int64_t> first_ion(blocks), last_ion(blocks), N_lower(blocks), N_upper(blocks);
  std::vector<double> net_lower, net_upper, ratio, ratio_low, ratio_high, E, E_low, E_high, v_dc;
  for (std::size_t b = 0; b < profile.blocks.size(); ++b) {
    const profile_block& p = profile.blocks[b];
    const pair_field& f = p.field;
    first_ion.mutable_data()[b] = static_cast<std::int64_t>(p.first_ion);
    last_ion.mutable_data()[b] = static_cast<std::int64_t>(p.last_ion);
    N_lower.mutable_data()[b] = static_cast<std::int64_t>(f.count_lower);
    N_upper.mutable_data()[b] = static_cast<std::int64_t>(f.count_upper);
    net_lower.push_back(f.net_lower);
    net_upper.push_back(f.net_upper);
    ratio.push_back(f.ratio);
    ratio_low.push_back(f.ratio_low);
    ratio_high.push_back(f.ratio_high);
    E.push_back(f.E);
    E_low.push_back(f.E_low);
    E_high.push_back(f.E_high);
    v_dc.push_back(p.mean_v_dc.value_or(std::numeric_limits<double>::quiet_NaN()));
  }
  py::dict d;
  d["block"] = profile.block;
  d["first_ion"] = first_ion;
  d["last_ion"] = last_ion;
  d["N_lower"] = N_lower;
  d["N_upper"] = N_upper;
  d["net_lower"] = to_array(net_lower);
  d["net_upper"] = to_array(net_upper);
  d["ratio"] = to_array(ratio);
  d["ratio_low"] = to_array(ratio_low);
  d["ratio_high"] = to_array(ratio_high);
  d["E"] = to_array(E);
  d["E_low"] = to_array(E_low);
  d["E_high"] = to_array(E_high);
  d["v_dc"] = to_array(v_dc);
  d["voltage_unit"] = text_or_none(apt::unit_symbol(profile.voltages));
  d["overall"] = pair_field_dict(profile.overall.field, profile.overall.factor);
  d["messages"] = strings(profile.messages);
  return d;
}

}  // namespace

PYBIND11_MODULE(veltrane, m) {
  using namespace py::literals;
  m.doc() =
      "Post-field-ionisation after Kingham: the probability that a field-evaporated ion of "
      "charge j+ keeps its charge, charge-state fractions, and the field from a measured "
      "charge-state ratio. The same numbers as the Veltrane window and veltrane-curves.";
  m.attr("__version__") = VELTRANE_VERSION;
  py::register_exception<calculation_error>(m, "CalculationError", PyExc_RuntimeError);
  // A request the calculation refuses (a search over millions of fields) is
  // bad input, as on the command line. (pybind11 hands the exception over
  // by value.)
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const input_refused& e) {
      // Also a data or range file that does not read: the message names it.
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  m.def(
      "elements",
      [] {
        std::vector<std::string> names;
        names.reserve(element_table.size());
        for (const auto& row : element_table) names.emplace_back(row.name);
        return names;
      },
      "The 44 element names, as the window lists them ('Calicum' and 'Titan' included).");
  m.def("element", &element_dict, "name"_a,
        "The built-in data of an element: symbol, period, mass (u), work function and "
        "ionisation energies I1..I5 (eV, None where one does not exist) with their sources.");
  m.def("curves", &curves, "element"_a, "n"_a, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0,
        "The sweeps of a calculation, one dict per step j with arrays E (V/nm), F (atomic "
        "units) and Q (the probability that j+ keeps its charge), bit for bit the numbers "
        "written to data.txt. Work function and energies in eV; left out, the built-in ones.");
  m.def("fractions", &fractions, "element"_a, "n"_a, "E"_a, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0, "method"_a = "accurate",
        "Charge-state fractions of the cascade from 1+ at the fields E (V/nm): Q (n x len(E), "
        "0 from the over-barrier field of each step on), f ((n+1) x len(E)) and E_ob (n). "
        "method='exact' evaluates the model by its adaptive integration (slow).");
  m.def("equal_abundance", &equal_abundance_of, "element"_a, "n"_a, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0, "method"_a = "accurate",
        "For every step k: the over-barrier field E_ob and the field F where k+ and (k+1)+ "
        "are equally abundant, in V/nm.");
  m.def("field_from_ratio", &field_from_ratio_of, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3}, "ratio"_a = py::none(), "counts"_a = py::none(),
        "confidence"_a = default_confidence, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0, "method"_a = "accurate",
        "sensitivity"_a = false,
        "The field (V/nm) at which the ratio N(upper)/N(lower) of the pair of neighbouring "
        "states is reached, with every crossing. With ratio an array (or list), a dict of pair, "
        "ratio and E, arrays of its shape, E NaN where the model has no field for the ratio: "
        "the model's ratio curve is tabulated once and inverted for every value. With counts "
        "(N(lower), N(upper)) also the "
        "interval of counting statistics (Wilson), which leaves out the model's own uncertainty. "
        "sensitivity=True adds how far the field moves with the work function (0.1 eV) and "
        "each ionisation energy of the pair (1 %): the model's sensitivity, not a confidence "
        "interval.");
  m.def("field_from_counts", &field_from_counts_of, "element"_a, "n"_a, "pair"_a, "lower"_a,
        "upper"_a, "confidence"_a = default_confidence, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0, "method"_a = "accurate",
        "The field (V/nm) of many pairs of counts at once: lower and upper are the counts of "
        "N(lower) and N(upper) of the pair (in either order), broadcast against each other, "
        "whole numbers of at least 0. Returns arrays of their shape: E, its interval E_low and "
        "E_high at the confidence (Wilson's score interval of the share of the upper state, "
        "counting statistics only), ratio = N(upper)/N(lower) and ratio_low, ratio_high; also "
        "pair and confidence. The counts are taken as they are (no isotope correction). E is NaN "
        "where the ratio has no field (0, infinite or beyond the model's ratios); an interval "
        "end without a field is -inf (low) or inf (high); everything is NaN where both counts "
        "are 0. The model's ratio curve is tabulated once per call.");
  m.def("read_data", &read_data, "path"_a,
        "The ions of a .pos, .epos or .apt file as NumPy arrays, as stored: mass (Da), and where "
        "the file has them x, y, z (nm; always in .pos and .epos), det_x, det_y (mm), tof (ns), "
        "v_dc, v_pulse (float32, in the file's unit) and multiplicity, pulse_delta (uint32). "
        "Also format ('pos', 'epos' or 'apt'), voltage_unit ('V', 'kV' or None when the file "
        "has no voltages or they do not tell) and notes (list of str, what was skipped). "
        "ValueError naming the file for one that does not read.");
  m.def("read_ranges", &read_ranges, "path"_a, "notes"_a = false,
        "The ranges of a .rrng or .rng file, sorted by low bound: one dict per range with low, "
        "high (Da), ions (list of (element, count)), name, colour ('FF0000' or None), volume "
        "(nm^3 or None), charge (int when exactly one charge fits its isotopes, else None), "
        "status ('assigned', 'ambiguous', 'no_isotope', 'unknown_element', 'molecular', "
        "'no_ion'), fitting_charges, isotopes (dicts of label, mass_number, mass, "
        "abundance_percent: those covered at the charge), abundance_percent (their sum), "
        "message (why no charge, or None) and line. notes=True returns the tuple (ranges, notes), "
        "notes being the file's notes (list of str, each starting with the path). ValueError "
        "naming the file and line for one that does not read.");
  m.def("charge_state_counts", &charge_state_counts, "data"_a, "ranges"_a, "element"_a = py::none(),
        "single_hits"_a = false, "background"_a = false, "threads"_a = 0,
        "The charge states counted in the data file (path) with the range file (path), of one "
        "element (name or symbol) or of every element when None. A dict: charges (one dict per "
        "element and charge, by Z then charge: symbol, charge, counts, background, net, "
        "abundance_percent, corrected = net / (abundance_percent / 100), isotopes, ranges as "
        "(low, high)), messages and interferences (list of str), symbol, ions, counted_ions, "
        "single_hits and background (whether applied). single_hits counts only pulses of one "
        "hit; background subtracts a window of each range's width beside it.");
  m.def("field_map", &field_map_of, "data"_a, "ranges"_a, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3}, "over"_a = "detector", "bin"_a = map_options{}.bin,
        "min_counts"_a = static_cast<std::int64_t>(map_options{}.min_counts),
        "confidence"_a = default_confidence, "single_hits"_a = false, "background"_a = false,
        "work_function"_a = py::none(), "energies"_a = py::none(), "threads"_a = 0,
        "method"_a = "accurate",
        "The field of the pair's isotope-corrected ratio (the element by name or symbol) over the "
        "detector (bin in mm) or the "
        "reconstructed specimen (over='specimen', nm), in square bins. x_edges and y_edges are "
        "the bin edges; the 2-D arrays have shape (len(x_edges) - 1, len(y_edges) - 1), the "
        "first index along x: N_lower, N_upper (raw ions of the pair, int64; 0 in empty bins), "
        "net_lower, net_upper, ratio, ratio_low, ratio_high, E, E_low, E_high (V/nm; NaN in "
        "empty and masked bins, an interval end without a field -inf or inf) and masked (True "
        "for bins with fewer than min_counts ions of the pair, and for empty ones). Also "
        "overall (dict: pair, counts, net, factor, confidence, ratio, ratio_interval, E, E_low, "
        "E_high), without_position, over, bin and messages. The intervals are counting "
        "statistics only.");
  m.def("field_profile", &field_profile_of, "data"_a, "ranges"_a, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3},
        "block"_a = static_cast<std::int64_t>(profile_options{}.block),
        "confidence"_a = default_confidence, "single_hits"_a = false, "background"_a = false,
        "work_function"_a = py::none(), "energies"_a = py::none(), "threads"_a = 0,
        "method"_a = "accurate",
        "The field of the pair's isotope-corrected ratio (the element by name or symbol) along "
        "the run, in blocks of `block` "
        "ions in file order: arrays first_ion, last_ion (counted from 0), N_lower, N_upper "
        "(int64), net_lower, net_upper, ratio, ratio_low, ratio_high, E, E_low, E_high (V/nm, "
        "NaN where no field) and v_dc (the block's mean DC voltage in voltage_unit, NaN where "
        "the file has none); also block, voltage_unit ('V', 'kV' or None), overall (as in "
        "field_map) and messages.");
  m.def("probability", &probability, "E"_a, "B"_a, "phi"_a, "m"_a, "n"_a, "m_ion"_a, "u"_a,
        "threads"_a = 0, "method"_a = "exact",
        "The model in atomic units, broadcast over every argument and evaluated on all cores: "
        "field E, binding energy B and work function phi (hartree), principal quantum number "
        "m, charge n, mass m_ion (u) and energy offset u (hartree). method='exact' (the default) "
        "is bit for bit "
        "the evaluation behind data.txt; 'accurate' the closed-form one.");
  add_joint_bindings(m);
}
