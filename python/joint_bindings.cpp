// The joint field's functions of the Python module: arguments converted to a
// joint_request, the work done without the GIL (Ctrl-C through the counting's
// cancel flag), the answers returned as NumPy arrays and dicts. Every number
// and every message comes from compute/.
#include "python/joint_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/joint_dataset.hpp"
#include "compute/datasets/joint_input.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_output.hpp"
#include "compute/datasets/joint_text.hpp"
#include "python/keywords.hpp"

namespace py = pybind11;

namespace veltrane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using array = py::array_t<double, py::array::c_style | py::array::forcecast>;

array to_array(const std::vector<double>& values) {
  array a(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

py::list strings(const std::vector<std::string>& texts) {
  py::list list;
  for (const auto& t : texts) list.append(t);
  return list;
}

// The elements as given: None (or "all", or an empty list) for the default
// choice, a text as typed on the command line, or a list of names.
std::vector<std::string> elements_of(const py::object& elements) {
  if (elements.is_none()) return {};
  if (py::isinstance<py::str>(elements)) return joint_elements_of(elements.cast<std::string>());
  try {
    return elements.cast<std::vector<std::string>>();
  } catch (const py::cast_error&) {
    throw py::type_error(
        "elements must be None, a list of element names or symbols, or a text "
        "such as \"Fe,Cr\" or \"all\"");
  }
}

// n of the models: None, one whole number for all, a dict by element, or a
// text as typed on the command line ("3", "Fe:2,Cr:3").
void ionisations_into(const py::object& ionisations, joint_request& r) {
  if (ionisations.is_none()) return;
  if (py::isinstance<py::str>(ionisations)) {
    joint_ionisations n = joint_ionisations_of(ionisations.cast<std::string>());
    r.ionisations = std::move(n.by_element);
    r.ionisations_all = n.all;
    return;
  }
  try {
    if (py::isinstance<py::dict>(ionisations)) {
      r.ionisations = ionisations.cast<std::map<std::string, int>>();
    } else {
      r.ionisations_all = ionisations.cast<int>();
    }
  } catch (const py::cast_error&) {
    throw py::type_error(
        "ionisations must be None, a whole number for every element, a dict "
        "such as {\"Fe\": 2, \"Cr\": 3}, or a text such as \"Fe:2,Cr:3\"");
  }
}

joint_request request_of(const py::object& elements, const py::object& ionisations,
                         double confidence, bool background, bool single_hits, double min_counts,
                         const std::string& method, std::int64_t threads,
                         const py::object& mass_tolerance) {
  joint_request r;
  r.elements = elements_of(elements);
  ionisations_into(ionisations, r);
  const auto e = evaluation_named(method);
  if (!e) throw py::value_error("method must be \"accurate\" or \"exact\", not \"" + method + "\"");
  r.method = *e;
  r.confidence = confidence;
  r.counting.background = background;
  r.counting.single_hits = single_hits;
  r.counting.threads = threads_of(threads);
  r.min_counts = min_counts;
  r.charges = charges_of(mass_tolerance);
  check_joint_request(r);
  return r;
}

// Opens both files and runs `compute` on them without the GIL, with the
// request's counting watching Ctrl-C.
void with_files(const std::filesystem::path& data_path, const std::filesystem::path& ranges_path,
                joint_request& request,
                const std::function<void(const apt::dataset&, const apt::range_file&)>& compute) {
  run_interruptibly([&](evaluation_progress& progress) {
    request.counting.cancel = &progress.cancel;
    const dataset_inputs in = read_inputs(data_path, ranges_path);
    reading_dataset([&] { compute(in.data, in.ranges); });
  });
  request.counting.cancel = nullptr;
}

py::dict field_dict(const likelihood_field& f) {
  py::dict d;
  d["found"] = f.found;
  d["E"] = f.found ? f.E : nan;
  d["E_low"] = f.found ? f.low : nan;
  d["E_high"] = f.found ? f.high : nan;
  return d;
}

// One answer: the joint field, its test, each element alone, the notes.
py::dict answer_dict(const joint_answer& a, double confidence) {
  py::dict d = field_dict(a.field);
  const bool tested = a.field.found && a.test.dof >= 1;
  d["confidence"] = confidence;
  d["p_value"] = tested ? a.test.p_value : nan;
  d["G2"] = tested ? a.test.G2 : nan;
  d["dof"] = a.test.dof;
  d["at_edge"] = a.at_edge;
  py::list used;
  py::dict own;
  for (const auto& part : a.elements) {
    if (part.used) used.append(part.symbol);
    py::dict e = field_dict(part.own);
    e["n"] = part.n;
    py::array_t<std::int64_t> charges(static_cast<py::ssize_t>(part.charges.size()));
    std::copy(part.charges.begin(), part.charges.end(), charges.mutable_data());
    e["charges"] = charges;
    e["counts"] = to_array(part.counts);
    e["ions"] = part.total;
    e["used"] = part.used;
    e["note"] = part.note.empty() ? py::object(py::none()) : py::cast(part.note);
    own[py::str(part.symbol)] = e;
  }
  d["used"] = used;
  d["elements"] = own;
  d["notes"] = strings(a.notes);
  d["no_field"] = a.no_field.empty() ? py::object(py::none()) : py::cast(a.no_field);
  // The command line's words of the answer.
  const joint_words w = joint_answer_words(a, confidence, plain_answer_numbers());
  py::dict words;
  words["answer"] = w.answer;
  words["test"] = w.test;
  words["elements"] = strings(w.elements);
  words["notes"] = strings(w.notes);
  d["words"] = words;
  return d;
}

py::dict decomposition_dict(const std::vector<species_amount>& amounts) {
  std::vector<double> amount, sigma;
  py::list labels, inseparable_from;
  py::array_t<bool> separable(static_cast<py::ssize_t>(amounts.size()));
  for (std::size_t s = 0; s < amounts.size(); ++s) {
    labels.append(amounts[s].label);
    amount.push_back(amounts[s].amount);
    sigma.push_back(amounts[s].sigma);
    separable.mutable_data()[s] = amounts[s].separable;
    inseparable_from.append(amounts[s].inseparable_from.empty()
                                ? py::object(py::none())
                                : py::cast(amounts[s].inseparable_from));
  }
  py::dict d;
  d["species"] = labels;
  d["amount"] = to_array(amount);
  d["sigma"] = to_array(sigma);
  d["separable"] = separable;
  d["inseparable_from"] = inseparable_from;
  return d;
}

py::dict run_dict(const joint_run& run, double confidence) {
  py::dict d = answer_dict(run.answer, confidence);
  d["symbols"] = run.setup->symbols();
  d["decomposition"] = decomposition_dict(run.decomposition);
  py::array_t<std::uint64_t> counts(static_cast<py::ssize_t>(run.counts.counts.size()));
  std::copy(run.counts.counts.begin(), run.counts.counts.end(), counts.mutable_data());
  d["range_counts"] = counts;
  d["ions"] = run.counts.ions;
  d["background"] = run.setup->background();
  d["messages"] = strings(run.setup->messages());
  return d;
}

py::dict joint_field_of(const std::filesystem::path& data, const std::filesystem::path& ranges,
                        const py::object& elements, const py::object& ionisations,
                        double confidence, bool background, bool single_hits, double min_counts,
                        const std::string& method, std::int64_t threads,
                        const py::object& mass_tolerance) {
  joint_request request = request_of(elements, ionisations, confidence, background, single_hits,
                                     min_counts, method, threads, mass_tolerance);
  joint_run run;
  with_files(data, ranges, request, [&](const apt::dataset& d, const apt::range_file& file) {
    run = joint_field_of_run(d, file, request);
  });
  return run_dict(run, confidence);
}

// The columns that a map's bins and a profile's blocks share: each cell's
// joint field, test and every element's own field, one value per cell.
struct cell_columns {
  std::vector<double> ions, E, E_low, E_high, p_value, G2;
  std::vector<std::int64_t> dof;
  std::vector<bool> masked, at_edge;
  std::vector<std::vector<double>> own_E, own_low, own_high, own_ions;
  std::vector<std::vector<bool>> used;

  cell_columns(std::size_t cells, std::size_t elements)
      : ions(cells, 0.0),
        E(cells, nan),
        E_low(cells, nan),
        E_high(cells, nan),
        p_value(cells, nan),
        G2(cells, nan),
        dof(cells, 0),
        masked(cells, true),
        at_edge(cells, false),
        own_E(elements, std::vector<double>(cells, nan)),
        own_low(elements, std::vector<double>(cells, nan)),
        own_high(elements, std::vector<double>(cells, nan)),
        own_ions(elements, std::vector<double>(cells, 0.0)),
        used(elements, std::vector<bool>(cells, false)) {}

  void set(std::size_t c, const joint_cell& cell) {
    const joint_answer& a = cell.answer;
    ions[c] = static_cast<double>(cell.ions);
    for (std::size_t e = 0; e < a.elements.size() && e < own_E.size(); ++e) {
      const element_part& part = a.elements[e];
      own_ions[e][c] = part.total;
      used[e][c] = part.used;
      if (part.used && part.own.found) {
        own_E[e][c] = part.own.E;
        own_low[e][c] = part.own.low;
        own_high[e][c] = part.own.high;
      }
    }
    if (!a.field.found) return;
    masked[c] = false;
    E[c] = a.field.E;
    E_low[c] = a.field.low;
    E_high[c] = a.field.high;
    dof[c] = a.test.dof;
    if (a.test.dof >= 1) {
      p_value[c] = a.test.p_value;
      G2[c] = a.test.G2;
    }
    at_edge[c] = a.at_edge;
  }
};

template <class T>
py::array_t<T> shaped(const std::vector<T>& values, const std::vector<py::ssize_t>& shape) {
  py::array_t<T> a(shape);
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

py::array_t<bool> shaped_flags(const std::vector<bool>& values,
                               const std::vector<py::ssize_t>& shape) {
  py::array_t<bool> a(shape);
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

void columns_into(py::dict& d, const cell_columns& c, const std::vector<std::string>& symbols,
                  const std::vector<py::ssize_t>& shape) {
  d["ions"] = shaped<std::int64_t>(std::vector<std::int64_t>(c.ions.begin(), c.ions.end()), shape);
  d["E"] = shaped(c.E, shape);
  d["E_low"] = shaped(c.E_low, shape);
  d["E_high"] = shaped(c.E_high, shape);
  d["p_value"] = shaped(c.p_value, shape);
  d["G2"] = shaped(c.G2, shape);
  d["dof"] = shaped(c.dof, shape);
  d["masked"] = shaped_flags(c.masked, shape);
  d["at_edge"] = shaped_flags(c.at_edge, shape);
  py::dict own_E, own_low, own_high, own_ions, used;
  for (std::size_t e = 0; e < symbols.size(); ++e) {
    const py::str key(symbols[e]);
    own_E[key] = shaped(c.own_E[e], shape);
    own_low[key] = shaped(c.own_low[e], shape);
    own_high[key] = shaped(c.own_high[e], shape);
    own_ions[key] = shaped(c.own_ions[e], shape);
    used[key] = shaped_flags(c.used[e], shape);
  }
  d["symbols"] = symbols;
  d["element_E"] = own_E;
  d["element_E_low"] = own_low;
  d["element_E_high"] = own_high;
  d["element_ions"] = own_ions;
  d["element_used"] = used;
}

py::dict joint_map_of(const std::filesystem::path& data, const std::filesystem::path& ranges,
                      const py::object& elements, const py::object& ionisations,
                      const std::string& over, double bin, double min_counts, double confidence,
                      bool single_hits, bool background, std::int64_t threads,
                      const py::object& mass_tolerance) {
  if (over != "detector" && over != "specimen") {
    throw py::value_error("over must be \"detector\" or \"specimen\", not \"" + over + "\"");
  }
  joint_request request = request_of(elements, ionisations, confidence, background, single_hits,
                                     min_counts, "accurate", threads, mass_tolerance);
  joint_field_map map;
  with_files(data, ranges, request, [&](const apt::dataset& d, const apt::range_file& file) {
    map = map_joint_field(d, file, request,
                          over == "detector" ? map_plane::detector : map_plane::specimen, bin);
  });
  // The bins as dense arrays over the span of those with ions.
  std::int64_t i_min = 0, i_max = -1, j_min = 0, j_max = -1;
  if (!map.bins.empty()) {
    i_min = i_max = map.bins.front().i;
    j_min = j_max = map.bins.front().j;
    for (const auto& b : map.bins) {
      i_min = std::min(i_min, b.i);
      i_max = std::max(i_max, b.i);
      j_min = std::min(j_min, b.j);
      j_max = std::max(j_max, b.j);
    }
  }
  const std::int64_t ni = i_max - i_min + 1, nj = j_max - j_min + 1;
  constexpr double most_cells = 1 << 28;
  if (static_cast<double>(ni) * static_cast<double>(nj) > most_cells) {
    throw py::value_error("the map's bins span " + std::to_string(ni) + " x " + std::to_string(nj) +
                          " cells, too many for arrays; take larger bins");
  }
  std::vector<double> x_edges, y_edges;
  for (std::int64_t i = 0; i <= ni; ++i) x_edges.push_back(static_cast<double>(i_min + i) * bin);
  for (std::int64_t j = 0; j <= nj; ++j) y_edges.push_back(static_cast<double>(j_min + j) * bin);
  const std::vector<std::string>& symbols = map.overall.setup->symbols();
  cell_columns columns(static_cast<std::size_t>(ni * nj), symbols.size());
  for (const auto& b : map.bins) {
    columns.set(static_cast<std::size_t>((b.i - i_min) * nj + (b.j - j_min)), b);
  }
  py::dict d;
  d["over"] = over;
  d["bin"] = map.bin;
  d["x_edges"] = to_array(x_edges);
  d["y_edges"] = to_array(y_edges);
  columns_into(d, columns, symbols, {static_cast<py::ssize_t>(ni), static_cast<py::ssize_t>(nj)});
  d["overall"] = run_dict(map.overall, confidence);
  d["without_position"] = map.without_position;
  d["messages"] = strings(map.messages);
  return d;
}

py::dict joint_profile_of(const std::filesystem::path& data, const std::filesystem::path& ranges,
                          const py::object& elements, const py::object& ionisations,
                          std::int64_t block, std::optional<double> kf, double min_counts,
                          double confidence, bool single_hits, bool background,
                          std::int64_t threads, const py::object& mass_tolerance) {
  joint_request request = request_of(elements, ionisations, confidence, background, single_hits,
                                     min_counts, "accurate", threads, mass_tolerance);
  check_field_factor(kf);
  const std::uint64_t blocks_of = whole_keyword("block", block, 1);
  joint_field_profile profile;
  with_files(data, ranges, request, [&](const apt::dataset& d, const apt::range_file& file) {
    profile = profile_joint_field(d, file, request, blocks_of, kf);
  });
  const std::size_t blocks = profile.blocks.size();
  const std::vector<std::string>& symbols = profile.overall.setup->symbols();
  cell_columns columns(blocks, symbols.size());
  std::vector<std::int64_t> first, last;
  std::vector<double> v_dc, kfR, R;
  bool any_voltage = false;
  for (std::size_t b = 0; b < blocks; ++b) {
    const joint_profile_block& p = profile.blocks[b];
    columns.set(b, p);
    first.push_back(static_cast<std::int64_t>(p.first_ion));
    last.push_back(static_cast<std::int64_t>(p.last_ion));
    any_voltage = any_voltage || p.mean_v_dc.has_value();
    v_dc.push_back(p.mean_v_dc.value_or(nan));
    const double E = p.answer.field.found ? p.answer.field.E : nan;
    kfR.push_back(tip_radius_nm(p.mean_v_dc, E, 1.0));
    R.push_back(kf ? tip_radius_nm(p.mean_v_dc, E, *kf) : nan);
  }
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(blocks)};
  py::dict d;
  d["block"] = profile.block;
  d["first_ion"] = shaped(first, shape);
  d["last_ion"] = shaped(last, shape);
  columns_into(d, columns, symbols, shape);
  d["v_dc"] = to_array(v_dc);
  d["voltage_unit"] = any_voltage ? py::object(py::str("V")) : py::object(py::none());
  d["kfR"] = to_array(kfR);
  if (kf) d["R"] = to_array(R);
  d["kf"] = kf ? py::cast(*kf) : py::object(py::none());
  d["overall"] = run_dict(profile.overall, confidence);
  d["messages"] = strings(profile.messages);
  return d;
}

}  // namespace

void add_joint_bindings(py::module_& m) {
  using namespace py::literals;
  m.def("joint_field", &joint_field_of, "data"_a, "ranges"_a, "elements"_a = py::none(),
        "ionisations"_a = py::none(), "confidence"_a = 0.95, "background"_a = false,
        "single_hits"_a = false, "min_counts"_a = default_element_min_counts,
        "method"_a = "accurate", "threads"_a = std::int64_t{0}, "mass_tolerance"_a = py::none(),
        "The one field (V/nm) of several elements of a run from the range counts themselves, "
        "with its profile-likelihood interval at the confidence, and the likelihood-ratio test "
        "of one field against each element's charge states of their own (p_value, G2, dof). "
        "elements: None (or 'all') for every element of the range file ranged and counted at "
        "two charges or more, or a list of names or symbols; ionisations: None, one n for all, "
        "or a dict by element. A dict: found, E, E_low, E_high (E NaN when the counts bound the "
        "field on one side only, that end then -inf or inf), confidence, p_value, G2, dof, "
        "at_edge, used (the elements tied to the field), elements (by symbol: n, charges, "
        "counts and ions in the element's own ranges, used, note, and its own found, E, E_low, "
        "E_high), symbols, decomposition (species, amount, sigma, separable, inseparable_from: "
        "every species' ions, all isotopes), range_counts, ions, background, messages, notes, "
        "no_field (why there is no field, or None) and words (the command line's lines).");
  m.def("field_map", &joint_map_of, "data"_a, "ranges"_a, py::kw_only(), "elements"_a,
        "ionisations"_a = py::none(), "over"_a = "detector", "bin"_a = map_options{}.bin,
        "min_counts"_a = default_element_min_counts, "confidence"_a = 0.95, "single_hits"_a = false,
        "background"_a = false, "threads"_a = std::int64_t{0}, "mass_tolerance"_a = py::none(),
        "The joint field of several elements (elements=[...], or None / 'all' for the default "
        "choice) in square bins: x_edges, y_edges and 2-D arrays of shape (len(x_edges) - 1, "
        "len(y_edges) - 1), the first index along x: ions (int64), E, E_low, E_high, p_value, "
        "G2 (NaN where masked or without a test), dof (int64), masked (True where no element "
        "has min_counts ions in its own ranges, and in empty bins), at_edge; per element by "
        "symbol element_E, element_E_low, element_E_high (its own field, NaN where left out), "
        "element_ions and element_used; also symbols, overall (as joint_field returns), "
        "without_position, over, bin and messages.");
  m.def("field_profile", &joint_profile_of, "data"_a, "ranges"_a, py::kw_only(), "elements"_a,
        "ionisations"_a = py::none(),
        "block"_a = static_cast<std::int64_t>(profile_options{}.block), "kf"_a = py::none(),
        "min_counts"_a = default_element_min_counts, "confidence"_a = 0.95, "single_hits"_a = false,
        "background"_a = false, "threads"_a = std::int64_t{0}, "mass_tolerance"_a = py::none(),
        "The joint field of several elements (elements=[...]) in blocks of `block` ions in file "
        "order: first_ion, last_ion and the arrays of field_map's joint form, one value per "
        "block; v_dc (the block's mean DC voltage in volts, NaN where the file has none), kfR = "
        "v_dc / E in nm, and with the field factor kf also R = v_dc / (kf E): the radius of the "
        "tip a reconstruction with this evaporation field assumes; also block, kf, "
        "voltage_unit, overall and messages.");
}

}  // namespace veltrane
