// The Python binding: converts arguments and arrays, releases the GIL while
// the model runs, and maps the program's messages to ValueError. Every
// number comes from the C++ libraries.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <exception>
#include <future>
#include <limits>
#include <map>
#include <thread>

#include "compute/calculation.hpp"
#include "compute/charge_states.hpp"
#include "compute/element_data.hpp"
#include "compute/elements.hpp"
#include "compute/evaluation.hpp"
#include "compute/inputs.hpp"
#include "compute/sensitivity.hpp"
#include "compute/sweep.hpp"

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

std::string number_text(double value) { return shortest_text(value); }

// The request from Python's arguments, checked as the command line checks it.
calc_request request_of(const std::string& element, int n, std::optional<double> work_function,
                        std::optional<std::vector<double>> energies) {
  request_texts texts{element, std::to_string(n), std::nullopt, std::nullopt};
  if (work_function) texts.work_function = number_text(*work_function);
  if (energies) {
    std::vector<std::string> e;
    for (double x : *energies) e.push_back(number_text(x));
    texts.energies = e;
  }
  const checked_request checked = check_request(texts);
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
    std::string message = "unknown element \"" + name + "\"; closest: ";
    const auto names = closest_element_names(name);
    for (std::size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + names[i];
    throw py::value_error(message + " (see --list-elements)");
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
  const calc_request request = request_of(element, n, work_function, energies);
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
  const calc_request request = request_of(element, n, work_function, energies);
  if (E.ndim() != 1) throw py::value_error("E must be a one-dimensional array of fields in V/nm");
  const std::vector<double> fields(E.data(), E.data() + E.size());
  for (double e : fields) {
    if (!std::isfinite(e)) throw py::value_error("the fields must be finite numbers");
    // The model has no value at a field of 0 or below.
    if (!(e > 0.0)) throw py::value_error("fields must be above 0 V/nm");
  }
  fraction_table table;
  const charge_state_model model = method_model(method);
  run_interruptibly([&](evaluation_progress& progress) {
    charge_states states(request, model.function, threads, &progress);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    table = fraction_table_at(states, fields);
  });
  std::vector<double> barriers;
  for (const auto& ob : table.barriers) barriers.push_back(ob.at_v_per_nm());
  py::dict d;
  d["E"] = to_array(fields);
  d["Q"] = to_matrix(table.Qt, fields.size());
  d["f"] = to_matrix(table.f, fields.size());
  d["E_ob"] = to_array(barriers);
  return d;
}

py::list equal_abundance(const std::string& element, int n, std::optional<double> work_function,
                         std::optional<std::vector<double>> energies, unsigned threads,
                         const std::string& method) {
  const calc_request request = request_of(element, n, work_function, energies);
  std::vector<over_barrier> barriers;
  std::vector<ratio_fields> fields;
  const charge_state_model model = method_model(method);
  run_interruptibly([&](evaluation_progress& progress) {
    charge_states states(request, model.function, threads, &progress);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    barriers = states.over_barrier_fields();
    for (int k = 1; k <= request.n; ++k) fields.push_back(states.equal_abundance(k));
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

py::dict field_from_ratio(const std::string& element, int n, std::pair<int, int> pair,
                          std::optional<double> ratio, py::object counts, double confidence,
                          std::optional<double> work_function,
                          std::optional<std::vector<double>> energies, unsigned threads,
                          const std::string& method, bool sensitivity) {
  const calc_request request = request_of(element, n, work_function, energies);
  std::string message;
  if (ratio.has_value() == !counts.is_none()) {
    throw py::value_error("give either ratio or counts");
  }
  if (!(confidence > 0.0 && confidence < 1.0)) {
    throw py::value_error("confidence must lie between 0 and 1");
  }
  // The pair may be written either way round: the ratio is N(upper)/N(lower)
  // and the counts are (N(lower), N(upper)) whatever the order.
  const int low_state = std::min(pair.first, pair.second);
  const int high_state = std::max(pair.first, pair.second);
  std::optional<ratio_spec> pair_ratio;
  double count_lower = 0, count_upper = 0;
  if (ratio) {
    pair_ratio = parse_ratio_spec(
        std::to_string(high_state) + "+/" + std::to_string(low_state) + "+=" + number_text(*ratio),
        n, &message);
    if (!pair_ratio) throw py::value_error(message);
  } else {
    const auto values = counts.cast<std::vector<double>>();
    if (values.size() != 2)
      throw py::value_error("counts must be two numbers, of the pair's states");
    const std::string text = std::to_string(low_state) + "+=" + number_text(values[0]) + "," +
                             std::to_string(high_state) + "+=" + number_text(values[1]);
    const auto parsed = parse_counts_spec(text, n, &message);
    const auto pairs = parsed ? counted_pairs(*parsed, &message) : std::nullopt;
    if (!pairs) throw py::value_error(message);
    if (high_state - low_state != 1) {
      throw py::value_error(std::to_string(high_state) + "+ and " + std::to_string(low_state) +
                            "+ are not neighbouring charge states");
    }
    count_lower = (*parsed)[static_cast<std::size_t>(low_state)];
    count_upper = (*parsed)[static_cast<std::size_t>(high_state)];
    pair_ratio = ratio_spec{low_state, 0.0};
  }
  std::optional<ratio_fields> fields;
  std::optional<counted_field> counted;
  const charge_state_model model = method_model(method);
  run_interruptibly([&](evaluation_progress& progress) {
    charge_states states(request, model.function, threads, &progress);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    if (ratio) {
      fields = states.field_from_ratio(pair_ratio->k, pair_ratio->ratio);
    } else {
      counted = states.field_from_counts(pair_ratio->k, count_lower, count_upper, confidence);
      fields = counted->estimate;
    }
  });
  if (!fields->field()) throw py::value_error(fields->unreachable_message());
  std::vector<input_shift> shifts;
  if (sensitivity) {
    run_interruptibly([&](evaluation_progress& progress) {
      shifts = field_sensitivity(request, pair_ratio->k, fields->ratio, *fields->field(), model,
                                 threads, &progress);
    });
  }
  py::dict d;
  d["pair"] = py::make_tuple(pair_ratio->k, pair_ratio->k + 1);
  d["ratio"] = fields->ratio;
  d["E"] = *fields->field();
  d["crossings"] = crossings_of(*fields);
  d["monotonic"] = fields->monotonic;
  if (counted) {
    auto bound = [](const ratio_fields& r) {
      return r.field() ? *r.field() : -std::numeric_limits<double>::infinity();
    };
    d["interval"] = py::make_tuple(bound(counted->low), bound(counted->high));
    d["confidence"] = confidence;
    d["ratio_interval"] = py::make_tuple(counted->ratio_low, counted->ratio_high);
  }
  if (sensitivity) {
    // The model's sensitivity to its inputs, not a confidence interval.
    py::list list;
    for (const auto& shift : shifts) {
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
  using namespace py::literals;
  py::module_ np = py::module_::import("numpy");
  const py::tuple b = np.attr("broadcast_arrays")(E, B, phi, m, n, m_ion, u);
  auto as_doubles = [&](const py::handle& h) {
    return np.attr("ascontiguousarray")(h, "dtype"_a = "float64").cast<array>();
  };
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
  // bad input, as on the command line.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const input_refused& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });

  m.def(
      "elements",
      [] {
        std::vector<std::string> names;
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
  m.def("equal_abundance", &equal_abundance, "element"_a, "n"_a, "work_function"_a = py::none(),
        "energies"_a = py::none(), "threads"_a = 0, "method"_a = "accurate",
        "For every step k: the over-barrier field E_ob and the field F where k+ and (k+1)+ "
        "are equally abundant, in V/nm.");
  m.def("field_from_ratio", &field_from_ratio, "element"_a, "n"_a,
        "pair"_a = std::pair<int, int>{2, 3}, "ratio"_a = py::none(), "counts"_a = py::none(),
        "confidence"_a = 0.95, "work_function"_a = py::none(), "energies"_a = py::none(),
        "threads"_a = 0, "method"_a = "accurate", "sensitivity"_a = false,
        "The field (V/nm) at which the ratio N(upper)/N(lower) of the pair of neighbouring "
        "states is reached, with every crossing; with counts (N(lower), N(upper)) also the "
        "interval of counting statistics (Wilson), which leaves out the model's own uncertainty. "
        "sensitivity=True adds how far the field moves with the work function (0.1 eV) and "
        "each ionisation energy of the pair (1 %): the model's sensitivity, not a confidence "
        "interval.");
  m.def("probability", &probability, "E"_a, "B"_a, "phi"_a, "m"_a, "n"_a, "m_ion"_a, "u"_a,
        "threads"_a = 0, "method"_a = "exact",
        "The model in atomic units, broadcast over every argument and evaluated on all cores: "
        "field E, binding energy B and work function phi (hartree), principal quantum number "
        "m, charge n, mass m_ion (u) and energy offset u (hartree). method='exact' (the default) "
        "is bit for bit "
        "the evaluation behind data.txt; 'accurate' the closed-form one.");
}
