#include "compute/figures/atlas.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

// A4 landscape, in points.
constexpr double page_width = 842, page_height = 595;
constexpr double plot_left = 70, plot_top = 70, plot_width = 500, plot_height = 420;
constexpr double lowest_log = -4.0;  // the diagram's floor: a fraction of 1e-4

constexpr colour state_colours[] = {
    {31, 119, 180}, {255, 127, 14}, {44, 160, 44}, {214, 39, 40}, {148, 103, 189}};
constexpr colour black{0, 0, 0}, grey{128, 128, 128}, barrier{178, 34, 34};

std::vector<double> ticks(double low, double high) { return round_ticks(low, high, 6); }

struct axes {
  double from, to;
  double x(double E) const { return plot_left + (E - from) / (to - from) * plot_width; }
  static double y(double log_f) { return plot_top + plot_height * (log_f / lowest_log); }
};

void draw_frame(figure& f, const axes& a) {
  f.rectangle(plot_left, plot_top, plot_width, plot_height, black);
  for (const double t : ticks(a.from, a.to)) {
    f.line({a.x(t), plot_top + plot_height, a.x(t), plot_top + plot_height + 4}, black);
    f.text(a.x(t), plot_top + plot_height + 16, format_number(t), 9, 'm');
  }
  for (int d = 0; d >= -4; --d) {
    const double y = axes::y(d);
    f.line({plot_left - 4, y, plot_left, y}, black);
    f.text(plot_left - 7, y + 3, "1e" + std::to_string(d), 9, 'r');
  }
  f.text(plot_left + plot_width / 2, plot_top + plot_height + 34, "E [V/nm]", 10, 'm');
  f.text(plot_left - 50, plot_top - 8, "fraction of each charge state (log scale)", 10, 'l');
}

// The curve of f_q, broken where it lies below the floor or has no value.
void draw_state(figure& f, const axes& a, const std::vector<double>& E,
                const std::vector<double>& fraction, colour c) {
  std::vector<double> run;
  auto flush = [&] {
    f.line(run, c, 1.4);
    run.clear();
  };
  for (std::size_t i = 0; i < E.size(); ++i) {
    const double v = fraction[i];
    if (!(v > 0.0) || std::log10(v) < lowest_log) {
      flush();
      continue;
    }
    run.push_back(a.x(E[i]));
    run.push_back(axes::y(std::min(0.0, std::log10(v))));
  }
  flush();
}

// The equal-abundance field of every pair (nothing where there is none).
using equal_fields = std::vector<std::optional<double>>;

void draw_marks(figure& f, const axes& a, const fraction_table& table, const equal_fields& equals) {
  for (int k = 1; k <= static_cast<int>(equals.size()); ++k) {
    const double E_ob = table.barriers[static_cast<std::size_t>(k) - 1].at_v_per_nm();
    if (std::isfinite(E_ob) && E_ob > a.from && E_ob <= a.to) {
      f.line({a.x(E_ob), plot_top, a.x(E_ob), plot_top + plot_height}, barrier, 0.8, true);
      // Labels near the right edge go left of their line, inside the plot.
      const bool right = a.x(E_ob) > plot_left + 0.9 * plot_width;
      f.text(a.x(E_ob) + (right ? -2 : 2), plot_top + 10 + 11.0 * (k - 1),
             "E_ob," + std::to_string(k), 8, right ? 'r' : 'l', barrier);
    }
    const auto& equal = equals[static_cast<std::size_t>(k) - 1];
    if (equal && *equal > a.from && *equal < a.to) {
      f.line({a.x(*equal), axes::y(-0.3), a.x(*equal), plot_top + plot_height}, grey, 0.8, true);
      f.text(a.x(*equal), axes::y(-0.3) - 3, charge_label(k + 1) + "=" + charge_label(k), 8, 'm',
             grey);
    }
  }
}

void draw_panel(figure& f, charge_states& states, const fraction_table& table,
                const equal_fields& equals, const std::vector<std::string>& sources) {
  const calc_request& r = states.request();
  double y = plot_top;
  const double x = plot_left + plot_width + 25;
  auto line = [&](const std::string& text, double size = 9) {
    f.text(x, y, text, size);
    y += size + 4;
  };
  line("Inputs", 11);
  line("work function " + format_number(r.work_function_ev) + " eV");
  for (std::size_t i = 0; i < r.energies_ev.size(); ++i) {
    line("I" + std::to_string(i + 1) + " = " + format_number(r.energies_ev[i]) + " eV");
  }
  y += 6;
  line("Over the barrier from", 11);
  for (std::size_t j = 0; j < table.barriers.size(); ++j) {
    line("E_ob," + std::to_string(j + 1) + " = " + table.barriers[j].text() + " V/nm");
  }
  y += 6;
  line("Equal abundance at", 11);
  for (int k = 1; k <= r.n; ++k) {
    const auto& E = equals[static_cast<std::size_t>(k) - 1];
    line(charge_label(k) + " and " + charge_label(k + 1) + ": " +
         (E ? format_number(*E) + " V/nm" : std::string("none")));
  }
  y += 6;
  line("Charge states", 11);
  for (int q = 1; q <= r.n + 1; ++q) {
    const colour c = state_colours[static_cast<std::size_t>(q - 1) % std::size(state_colours)];
    f.line({x, y - 3, x + 18, y - 3}, c, 1.4);
    f.text(x + 24, y, charge_label(q), 9);
    y += 13;
  }
  // The sources along the foot of the page, one line each.
  double foot = page_height - 12.0 * static_cast<double>(sources.size()) - 8;
  for (const auto& s : sources) {
    f.text(plot_left - 50, foot, s, 7, 'l', grey);
    foot += 12;
  }
}

}  // namespace

figure kingham_page(charge_states& states, const std::vector<std::string>& sources) {
  const auto [from, to] = default_field_range(states);
  std::vector<double> E(diagram_fields);
  for (std::size_t i = 0; i < E.size(); ++i) {
    E[i] = from + (to - from) * static_cast<double>(i) / static_cast<double>(E.size() - 1);
  }
  const fraction_table table = fraction_table_at(states, E);
  figure f(page_width, page_height);
  const calc_request& r = states.request();
  f.text(plot_left - 50, 30, r.element + ", n = " + std::to_string(r.n), 16);
  f.text(plot_left - 50, 44, "Charge-state fractions after Kingham's post-field-ionisation theory",
         9, 'l', grey);
  const axes a{from, to};
  draw_frame(f, a);
  for (std::size_t q = 0; q < table.f.size(); ++q) {
    draw_state(f, a, E, table.f[q], state_colours[q % std::size(state_colours)]);
  }
  equal_fields equals;
  for (int k = 1; k <= r.n; ++k) equals.push_back(equal_abundance(states, k).field());
  draw_marks(f, a, table, equals);
  draw_panel(f, states, table, equals, sources);
  return f;
}

std::vector<const element_data*> atlas_elements(const std::vector<std::string>& names) {
  for (const auto& name : names) {
    if (!resolve_element(name)) throw input_refused(unknown_element_message(name));
  }
  std::vector<const element_data*> elements;
  for (const auto& e : element_data_table()) {
    const bool asked = names.empty() || std::any_of(names.begin(), names.end(), [&](const auto& n) {
                         return resolve_element(n) == e.name;
                       });
    if (asked) elements.push_back(&e);
  }
  return elements;
}

std::vector<figure> atlas_pages(const std::vector<const element_data*>& elements,
                                const charge_state_model& model, unsigned threads,
                                const std::function<void(std::size_t, std::size_t)>& done) {
  // The elements side by side, one thread each (their searches are mostly
  // one model call after another); the numbers do not depend on the threads.
  std::vector<figure> pages;
  pages.reserve(elements.size());
  in_order(
      elements.size(), threads,
      [&](std::size_t i) {
        const element_data& e = *elements[i];
        const checked_request checked =
            check_request({e.name, std::to_string(largest_n(e)), std::nullopt, std::nullopt});
        if (!checked.request) throw input_refused(checked.message);
        charge_states states(*checked.request, model, 1);
        std::vector<std::string> sources = {source_note(e, 0)};
        sources.push_back("Ionisation energies: " + e.ionisation_source);
        for (int k = 1; k <= checked.request->n + 1; ++k) {
          if (e.energies[static_cast<std::size_t>(k - 1)].flag != nist_flag::measured) {
            sources.push_back(source_note(e, k));
          }
        }
        return kingham_page(states, sources);
      },
      [&](std::size_t, figure page) {
        pages.push_back(std::move(page));
        if (done) done(pages.size(), elements.size());
      });
  return pages;
}

}  // namespace veltrane
