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
#include "compute/charge_states/field_grid.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/dataset_text.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "python/joint_bindings.hpp"
#include "python/keywords.hpp"

namespace py = pybind11;
using namespace veltrane;

namespace {

using array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// veltrane.IsotopeCoverageWarning, made when the module is imported: the
// category of the warning of a charge state whose ranges cover few of its
// isotopes.
PyObject* coverage_warning_type = PyExc_UserWarning;  // NOLINT(*-non-const-global-variables)

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

py::dict fractions(const std::string& element, int n, const array& E,
                   std::optional<double> work_function, std::optional<std::vector<double>> energies,
                   unsigned threads, const std::string& method) {
  const calc_request request = request_of(element, n, work_function, std::move(energies));
  if (E.ndim() != 1) throw py::value_error("E must be a one-dimensional array of fields in V/nm");
  const std::vector<double> fields(E.data(), E.data() + E.size());
  check_each("E", fields, {E.shape(0)}, field_fault);
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

// The warnings of a state whose ranges cover few of its isotopes, as Python
// warnings (which a caller may turn into errors).
void warn_each(const std::vector<std::string>& warnings) {
  for (const auto& w : warnings) {
    if (PyErr_WarnEx(coverage_warning_type, w.c_str(), 1) != 0) throw py::error_already_set();
  }
}

py::object read_ranges(const std::filesystem::path& path, bool notes,
                       const py::object& mass_tolerance) {
  const apt::charge_options charges = charges_of(mass_tolerance);
  std::optional<apt::range_file> file;
  std::vector<apt::charge_assignment> assignments;
  run_interruptibly([&](evaluation_progress& progress) {
    file = open_range_file(path, &progress.cancel);
    assignments = apt::assign_charges(*file, charges);
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
    d["miss_da"] = a.miss_da;
    d["message"] = text_or_none(a.message);
    d["note"] = text_or_none(a.note);
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

py::tuple bounds_of(const apt::range_file& file, std::size_t index) {
  return py::make_tuple(file.ranges[index].low, file.ranges[index].high);
}

// Every range another ion may share: the range, the element's ions in it
// and every other ion found, most likely first.
py::list interferers_of(const dataset_counts& counts, const apt::range_file& file) {
  py::list list;
  for (const auto& x : counts.interferences) {
    py::list ions;
    for (const auto& i : x.interferers) {
      py::dict d;
      d["label"] = i.label;
      d["species"] = i.species;
      d["charge"] = i.charge;
      d["mass_to_charge"] = i.mass_to_charge;
      d["share"] = i.share;
      d["in_file"] = i.charge_in_file;
      ions.append(d);
    }
    py::dict d;
    d["range"] = bounds_of(file, x.range);
    d["own"] = x.own;
    d["interferers"] = ions;
    d["more"] = x.more;
    d["incomplete"] = x.incomplete;
    d["message"] = x.message;
    list.append(d);
  }
  return list;
}

py::dict charge_state_counts(const std::filesystem::path& data_path,
                             const std::filesystem::path& ranges_path,
                             std::optional<std::string> element, bool single_hits, bool background,
                             std::int64_t threads, const py::object& mass_tolerance) {
  const apt::charge_options charges = charges_of(mass_tolerance);
  const unsigned workers = threads_of(threads);
  std::optional<apt::range_file> file;
  dataset_counts counts;
  run_interruptibly([&](evaluation_progress& progress) {
    dataset_inputs in = read_inputs(data_path, ranges_path, &progress.cancel);
    counts = count_charge_states(in.data, in.ranges, element.value_or(""),
                                 counting_of(single_hits, background, workers, progress), charges);
    file = std::move(in.ranges);
  });
  py::list charges_list;
  for (const auto& q : counts.charges) {
    py::list ranges, misses;
    for (std::size_t i : q.ranges) {
      ranges.append(bounds_of(*file, i));
      for (const auto& c : counts.ranges) {
        if (c.index == i) misses.append(c.miss_da);
      }
    }
    py::dict d;
    d["symbol"] = q.symbol;
    d["charge"] = q.charge;
    d["counts"] = q.counts;
    d["background"] = q.background;
    d["net"] = q.net;
    d["abundance_percent"] = q.abundance_percent;
    d["corrected"] = q.corrected;
    d["decomposed"] = q.decomposed;
    d["decomposed_sigma"] = q.decomposed_sigma;
    d["inseparable_from"] = text_or_none(q.inseparable_from);
    d["isotopes"] = isotope_list(q.isotopes);
    d["ranges"] = ranges;
    d["range_miss_da"] = misses;
    charges_list.append(d);
  }
  py::list named;
  for (const auto& n : counts.named) {
    py::list ranges;
    for (std::size_t i : n.ranges) ranges.append(bounds_of(*file, i));
    py::dict d;
    d["name"] = n.name;
    d["counts"] = n.counts;
    d["background"] = n.background;
    d["net"] = n.net;
    d["decomposed"] = n.decomposed;
    d["decomposed_sigma"] = n.decomposed_sigma;
    d["inseparable_from"] = text_or_none(n.inseparable_from);
    d["ranges"] = ranges;
    named.append(d);
  }
  py::list interferences;
  for (const auto& i : counts.interferences) interferences.append(i.message);
  py::dict d;
  d["symbol"] = text_or_none(counts.symbol);
  d["charges"] = charges_list;
  d["named"] = named;
  d["messages"] = strings(counts.messages);
  d["warnings"] = strings(counts.warnings);
  d["interferences"] = interferences;
  d["interferers"] = interferers_of(counts, *file);
  d["mass_tolerance"] =
      py::make_tuple(counts.charging.tolerance_da, counts.charging.tolerance_percent);
  d["ions"] = counts.ions;
  d["counted_ions"] = counts.counted_ions;
  d["single_hits"] = counts.single_hits;
  d["background"] = counts.background;
  warn_each(counts.warnings);
  return d;
}

py::dict pair_field_dict(const overall_field& o) {
  const pair_field& f = o.field;
  py::dict d;
  d["pair"] = py::make_tuple(f.k, f.k + 1);
  d["counts"] = py::make_tuple(static_cast<std::uint64_t>(f.count_lower),
                               static_cast<std::uint64_t>(f.count_upper));
  d["net"] = py::make_tuple(f.net_lower, f.net_upper);
  d["factor"] = o.factor;
  d["isotope_coverage"] = py::make_tuple(f.covered_lower_percent, f.covered_upper_percent);
  d["caution"] = text_or_none(coverage_caution(f, o.counts.symbol));
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
  apt::charge_options charges;
  unsigned threads = 0;
};

dataset_field_request field_request_of(const std::string& element, int n, std::pair<int, int> pair,
                                       double confidence, std::optional<double> work_function,
                                       std::optional<std::vector<double>> energies,
                                       const std::string& method, std::int64_t threads,
                                       const py::object& mass_tolerance) {
  // The element by any of its names, as on the command line.
  dataset_field_request r{
      request_of(element_list_name(element), n, work_function, std::move(energies)),
      method_model(method), pair_k(pair, n), charges_of(mass_tolerance), threads_of(threads)};
  check_level(confidence);
  return r;
}

// Runs `compute(data, file, inverter, counting)` without the GIL on the
// opened files and the inversion of the pair's ratio curve.
void with_inverter(const std::filesystem::path& data_path, const std::filesystem::path& ranges_path,
                   const dataset_field_request& r, bool single_hits, bool background,
                   const std::function<void(const apt::dataset&, const apt::range_file&,
                                            ratio_inverter&, const counting_options&)>& compute) {
  run_interruptibly([&](evaluation_progress& progress) {
    const dataset_inputs in = read_inputs(data_path, ranges_path, &progress.cancel);
    field_model model(r.request, r.model, r.threads);
    model.set_progress(&progress);
    compute(in.data, in.ranges, model.inverter(r.k),
            counting_of(single_hits, background, r.threads, progress));
  });
}

// The bins of a map as arrays of one dimension (the bins outside the grid).
py::dict bin_list(const field_map& map, const std::vector<std::size_t>& which) {
  std::vector<double> x, y, ratio, E, E_low, E_high;
  const auto n = static_cast<py::ssize_t>(which.size());
  py::array_t<std::int64_t> N_lower(n), N_upper(n);
  py::array_t<bool> masked(n);
  for (std::size_t k = 0; k < which.size(); ++k) {
    const map_bin& b = map.bins[which[k]];
    x.push_back(b.x);
    y.push_back(b.y);
    N_lower.mutable_data()[k] = static_cast<std::int64_t>(b.field.count_lower);
    N_upper.mutable_data()[k] = static_cast<std::int64_t>(b.field.count_upper);
    masked.mutable_data()[k] = b.masked;
    ratio.push_back(b.field.ratio);
    E.push_back(b.field.E);
    E_low.push_back(b.field.E_low);
    E_high.push_back(b.field.E_high);
  }
  py::dict d;
  d["x"] = to_array(x);
  d["y"] = to_array(y);
  d["N_lower"] = N_lower;
  d["N_upper"] = N_upper;
  d["masked"] = masked;
  d["ratio"] = to_array(ratio);
  d["E"] = to_array(E);
  d["E_low"] = to_array(E_low);
  d["E_high"] = to_array(E_high);
  return d;
}

py::dict field_map_of(const std::filesystem::path& data_path,
                      const std::filesystem::path& ranges_path, const std::string& element, int n,
                      std::pair<int, int> pair, const std::string& over, double bin,
                      std::int64_t min_counts, double confidence, bool single_hits, bool background,
                      std::optional<double> work_function,
                      std::optional<std::vector<double>> energies, std::int64_t threads,
                      const std::string& method, const py::object& mass_tolerance) {
  const dataset_field_request r =
      field_request_of(element, n, pair, confidence, work_function, std::move(energies), method,
                       threads, mass_tolerance);
  if (over != "detector" && over != "specimen") {
    throw py::value_error("over must be \"detector\" or \"specimen\", not \"" + over + "\"");
  }
  map_options options;
  options.over = over == "detector" ? map_plane::detector : map_plane::specimen;
  options.bin = bin;
  options.min_counts = whole_keyword("min_counts", min_counts, 0);
  options.confidence = confidence;
  options.charges = r.charges;
  field_map map;
  map_grid grid;
  with_inverter(data_path, ranges_path, r, single_hits, background,
                [&](const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const counting_options& counting) {
                  options.counting = counting;
                  map = map_field(data, file, inverter, options);
                  grid = grid_of(map);
                });
  // The bins as dense arrays over the grid of the bulk of the ions; those
  // outside it (stray ions far out) as lists.
  const std::int64_t ni = grid.i_max - grid.i_min + 1, nj = grid.j_max - grid.j_min + 1;
  std::vector<double> x_edges, y_edges;
  for (std::int64_t i = 0; i <= ni; ++i) {
    x_edges.push_back(static_cast<double>(grid.i_min + i) * map.bin);
  }
  for (std::int64_t j = 0; j <= nj; ++j) {
    y_edges.push_back(static_cast<double>(grid.j_min + j) * map.bin);
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
    if (b.i < grid.i_min || b.i > grid.i_max || b.j < grid.j_min || b.j > grid.j_max) continue;
    const auto c = static_cast<std::size_t>((b.i - grid.i_min) * nj + (b.j - grid.j_min));
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
  std::vector<std::string> messages = map.messages;
  if (const std::string outside = outside_grid_message(map, grid); !outside.empty()) {
    messages.push_back(outside);
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
  d["outside"] = bin_list(map, grid.outside);
  d["without_position"] = map.without_position;
  d["overall"] = pair_field_dict(map.overall);
  d["messages"] = strings(messages);
  d["warnings"] = strings(map.overall.counts.warnings);
  warn_each(map.overall.counts.warnings);
  return d;
}

py::dict field_profile_of(const std::filesystem::path& data_path,
                          const std::filesystem::path& ranges_path, const std::string& element,
                          int n, std::pair<int, int> pair, std::int64_t block, double confidence,
                          bool single_hits, bool background, std::optional<double> work_function,
                          std::optional<std::vector<double>> energies, std::int64_t threads,
                          const std::string& method, const py::object& mass_tolerance) {
  const dataset_field_request r =
      field_request_of(element, n, pair, confidence, work_function, std::move(energies), method,
                       threads, mass_tolerance);
  profile_options options;
  options.block = whole_keyword("block", block, 1);
  options.confidence = confidence;
  options.charges = r.charges;
  field_profile profile;
  with_inverter(data_path, ranges_path, r, single_hits, background,
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
  d["overall"] = pair_field_dict(profile.overall);
  d["messages"] = strings(profile.messages);
  d["warnings"] = strings(profile.overall.counts.warnings);
  warn_each(profile.overall.counts.warnings);
  return d;
}

}  // namespace

namespace veltrane {

apt::charge_options charges_of(const py::object& mass_tolerance) {
  if (mass_tolerance.is_none()) return {};
  std::string text;
  if (py::isinstance<py::str>(mass_tolerance)) {
    text = mass_tolerance.cast<std::string>();
  } else if (py::isinstance<py::float_>(mass_tolerance) ||
             py::isinstance<py::int_>(mass_tolerance)) {
    text = shortest_text(mass_tolerance.cast<double>());
  } else {
    throw py::type_error(
        "mass_tolerance must be None, a number (Da) or a text such as \"0.05,0.3%\"");
  }
  std::string message;
  const auto options = parse_mass_tolerance(text, &message);
  if (!options) throw py::value_error("mass_tolerance: " + message);
  return *options;
}

std::uint64_t whole_keyword(const char* name, std::int64_t value, std::uint64_t lowest,
                            std::uint64_t highest) {
  const std::string fault = whole_number_fault(std::to_string(value), lowest, highest);
  if (!fault.empty()) throw py::value_error(std::string(name) + " " + fault);
  return static_cast<std::uint64_t>(value);
}

unsigned threads_of(std::int64_t threads) {
  return static_cast<unsigned>(whole_keyword("threads", threads, 0, 1024));
}

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

}  // namespace veltrane

PYBIND11_MODULE(veltrane, m) {
  using namespace py::literals;
  m.doc() =
      "Post-field-ionisation after Kingham: the probability that a field-evaporated ion of "
      "charge j+ keeps its charge, charge-state fractions, and the field from a measured "
      "charge-state ratio. The same numbers as the Veltrane window and veltrane-curves.";
  m.attr("__version__") = VELTRANE_VERSION;
  py::register_exception<calculation_error>(m, "CalculationError", PyExc_RuntimeError);
  coverage_warning_type = PyErr_NewExceptionWithDoc(
      "veltrane.IsotopeCoverageWarning",
      "A charge state's ranges cover so few of its element's isotopes (below 10 %) that its "
      "isotope-corrected count is a large multiple of the ions counted.",
      PyExc_UserWarning, nullptr);
  if (coverage_warning_type == nullptr) throw py::error_already_set();
  m.add_object("IsotopeCoverageWarning", py::handle(coverage_warning_type));
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
  m.def("read_ranges", &read_ranges, "path"_a, "notes"_a = false, "mass_tolerance"_a = py::none(),
        "The ranges of a .rrng or .rng file, sorted by low bound: one dict per range with low, "
        "high (Da), ions (list of (element, count)), name, colour ('FF0000' or None), volume "
        "(nm^3 or None), charge (int when exactly one charge fits its isotopes, else None), "
        "status ('assigned', 'ambiguous', 'no_isotope', 'unknown_element', 'molecular', "
        "'no_ion'), fitting_charges, isotopes (dicts of label, mass_number, mass, "
        "abundance_percent: those covered at the charge), abundance_percent (their sum), "
        "miss_da (0, or how far the isotope that gave the charge by the mass tolerance lies from "
        "the range, Da, negative below it), message (why no charge, or None), note (how a charge "
        "was read by the tolerance or by abundance, or None) and line. notes=True returns the "
        "tuple (ranges, notes), notes being the file's notes (list of str, each starting with the "
        "path). mass_tolerance: None (0.05 Da or 0.3 % of m/q, whichever is larger), a number "
        "(Da, the per-cent term kept; 0 for none) or a text as the command line's "
        "--mass-tolerance (\"0.05,0.3%\"). ValueError naming the file and line for one that does "
        "not read.");
  m.def("charge_state_counts", &charge_state_counts, "data"_a, "ranges"_a, "element"_a = py::none(),
        "single_hits"_a = false, "background"_a = false, "threads"_a = 0,
        "mass_tolerance"_a = py::none(),
        "The charge states counted in the data file (path) with the range file (path), of one "
        "element (name or symbol) or of every element when None. A dict: charges (one dict per "
        "element and charge, by Z then charge: symbol, charge, counts, background, net, "
        "abundance_percent, corrected = net / (abundance_percent / 100), decomposed and "
        "decomposed_sigma (the ions of the species in the run from the decomposition of every "
        "range's count, all isotopes included, NaN where the ranges cannot tell it from "
        "inseparable_from), isotopes, ranges as (low, high), range_miss_da (0, or how far the "
        "isotope that gave a range its charge by the mass tolerance lies from it); a species of "
        "the decomposition alone has no ranges and 0 counts), named (the ranges of a molecule or "
        "a name that is no element, counted under that name and in no element's count: name, "
        "counts, background, net, decomposed, decomposed_sigma, inseparable_from, ranges), "
        "messages (list of str), warnings (charge states whose ranges cover less than 10 % of "
        "their isotopes, also given as IsotopeCoverageWarning), interferences (one line per "
        "range another ion may share, the three most likely named) and interferers (per such "
        "range: range, own, interferers as dicts of label, species, charge, mass_to_charge, "
        "share, in_file, most likely first; more, incomplete, message), mass_tolerance "
        "(Da, per cent), symbol, ions, counted_ions, single_hits and background (whether "
        "applied). The element by symbol, English name or the window list's text; any element "
        "of the isotope table. single_hits counts only pulses of one hit; background subtracts "
        "a window of each range's width beside it; mass_tolerance as in read_ranges; threads 0 "
        "(all cores) to 1024.");
  m.def("field_map", &field_map_of, "data"_a, "ranges"_a, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3}, "over"_a = "detector", "bin"_a = map_options{}.bin,
        "min_counts"_a = static_cast<std::int64_t>(map_options{}.min_counts),
        "confidence"_a = default_confidence, "single_hits"_a = false, "background"_a = false,
        "work_function"_a = py::none(), "energies"_a = py::none(), "threads"_a = 0,
        "method"_a = "accurate", "mass_tolerance"_a = py::none(),
        "The field of the pair's isotope-corrected ratio (the element by name or symbol) over the "
        "detector (bin in mm) or the "
        "reconstructed specimen (over='specimen', nm), in square bins. x_edges and y_edges are "
        "the bin edges; the 2-D arrays have shape (len(x_edges) - 1, len(y_edges) - 1), the "
        "first index along x: N_lower, N_upper (raw ions of the pair, int64; 0 in empty bins), "
        "net_lower, net_upper, ratio, ratio_low, ratio_high, E, E_low, E_high (V/nm; NaN in "
        "empty and masked bins, an interval end without a field -inf or inf) and masked (True "
        "for bins with fewer than min_counts ions of the pair, and for empty ones). The arrays "
        "cover the bulk of the ions (from its 0.1 % to its 99.9 % point along each axis, widened "
        "by half that span and a bin); bins of ions far beyond it are in outside (x, y: their "
        "centres; N_lower, N_upper, masked, ratio, E, E_low, E_high), said in messages. Also "
        "overall (dict: pair, counts, net, factor, isotope_coverage (per cent of each state's "
        "isotopes its ranges cover), caution (None, or what a coverage below 10 % means for the "
        "field), confidence, ratio, ratio_interval, E, E_low, E_high), without_position, over, "
        "bin, messages and warnings (also given as IsotopeCoverageWarning). The intervals are "
        "counting statistics only.");
  m.def("field_profile", &field_profile_of, "data"_a, "ranges"_a, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3},
        "block"_a = static_cast<std::int64_t>(profile_options{}.block),
        "confidence"_a = default_confidence, "single_hits"_a = false, "background"_a = false,
        "work_function"_a = py::none(), "energies"_a = py::none(), "threads"_a = 0,
        "method"_a = "accurate", "mass_tolerance"_a = py::none(),
        "The field of the pair's isotope-corrected ratio (the element by name or symbol) along "
        "the run, in blocks of `block` "
        "ions in file order: arrays first_ion, last_ion (counted from 0), N_lower, N_upper "
        "(int64), net_lower, net_upper, ratio, ratio_low, ratio_high, E, E_low, E_high (V/nm, "
        "NaN where no field) and v_dc (the block's mean DC voltage in voltage_unit, NaN where "
        "the file has none); also block, voltage_unit ('V', 'kV' or None), overall (as in "
        "field_map), messages and warnings.");
  m.def("probability", &probability, "E"_a, "B"_a, "phi"_a, "m"_a, "n"_a, "m_ion"_a, "u"_a,
        "threads"_a = 0, "method"_a = "exact",
        "The model in atomic units, broadcast over every argument and evaluated on all cores: "
        "field E, binding energy B and work function phi (hartree), principal quantum number "
        "m, charge n, mass m_ion (u) and energy offset u (hartree). method='exact' (the default) "
        "is bit for bit "
        "the evaluation behind data.txt; 'accurate' the closed-form one.");
  add_joint_bindings(m);
}
