#pragma once

#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/request.hpp"

namespace veltrane {

/// The title of an axis of log10 f_k, in every figure of the fractions.
inline constexpr const char* fraction_axis_title = "log10 f (fraction of ions arriving as k+)";

/// The CSV of a fraction table: "#" lines with the inputs and the
/// over-barrier fields, the header E_V_per_nm,Q1,..,Qn,f1,..,f(n+1), one line
/// per field; the inputs in the "#" lines as data.txt writes numbers
/// (format_number), the table's numbers as shortest_number() writes them.
std::vector<std::string> fraction_csv_lines(const calc_request& request,
                                            const fraction_table& table);

}  // namespace veltrane
