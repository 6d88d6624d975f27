#pragma once

#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/request.hpp"

namespace veltrane {

/// A number of a CSV: the shortest text that reads back as the same
/// double; "nan", "inf" and "-inf" as in data.txt.
std::string csv_number(double x);

/// The CSV of a fraction table: "#" lines with the inputs and the
/// over-barrier fields, the header E_V_per_nm,Q1,..,Qn,f1,..,f(n+1), one line
/// per field; numbers as in data.txt ("%g", six digits, "nan").
std::vector<std::string> fraction_csv_lines(const calc_request& request,
                                            const fraction_table& table);

}  // namespace veltrane
