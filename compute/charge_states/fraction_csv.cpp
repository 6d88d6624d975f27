#include "compute/charge_states/fraction_csv.hpp"

#include "compute/curves/number_format.hpp"

namespace veltrane {

std::vector<std::string> fraction_csv_lines(const calc_request& r, const fraction_table& t) {
  std::vector<std::string> lines;
  lines.emplace_back("# Charge-state fractions after Kingham's post-field-ionisation theory");
  std::string inputs = "# " + r.element + ", n = " + std::to_string(r.n) + ", work function " +
                       format_number(r.work_function_ev) + " eV, energies";
  for (std::size_t i = 0; i < r.energies_ev.size(); ++i) {
    inputs += (i ? ", " : " ") + format_number(r.energies_ev[i]);
  }
  lines.push_back(inputs + " eV");
  std::string barriers = "# over the barrier from E_ob [V/nm]:";
  for (std::size_t j = 0; j < t.barriers.size(); ++j) {
    barriers += (j ? ", step " : " step ") + std::to_string(j + 1) + " " + t.barriers[j].text();
  }
  lines.push_back(barriers);
  lines.emplace_back(
      "# Qj: probability that j+ keeps its charge (0 from E_ob of step j on); "
      "fk: fraction of k+");
  std::string header = "E_V_per_nm";
  for (std::size_t j = 1; j <= t.Q_tilde.size(); ++j) header += ",Q" + std::to_string(j);
  for (std::size_t k = 1; k <= t.f.size(); ++k) header += ",f" + std::to_string(k);
  lines.push_back(header);
  for (std::size_t e = 0; e < t.E.size(); ++e) {
    std::string line = shortest_number(t.E[e]);
    for (const auto& row : t.Q_tilde) line += "," + shortest_number(row[e]);
    for (const auto& row : t.f) line += "," + shortest_number(row[e]);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace veltrane
