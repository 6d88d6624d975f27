#pragma once

// The atlas: one page per element with its Kingham diagram (the fractions
// of every charge state against the field on a log scale), the over-barrier
// fields and the fields of equal abundance marked, and the inputs with
// their sources.

#include <functional>
#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/figures/figure.hpp"

namespace veltrane {

/// Points on the diagram's field axis, over the default range of the
/// fraction table.
inline constexpr std::size_t diagram_fields = 600;

/// The page of one request: `states` computes its numbers; `sources` are
/// lines naming where the inputs come from (shown under them).
figure kingham_page(charge_states& states, const std::vector<std::string>& sources);

/// The elements of an atlas: `names` (as the element list writes them, any
/// case) in the list's order, or every element when empty. Throws
/// input_refused for a name that is not in the list.
std::vector<const element_data*> atlas_elements(const std::vector<std::string>& names);

/// The pages of `elements` with their built-in data and the largest n each
/// allows; `done` (when set) is called after each page with the pages so far.
std::vector<figure> atlas_pages(
    const std::vector<const element_data*>& elements, const charge_state_model& model,
    unsigned threads, const std::function<void(std::size_t done, std::size_t total)>& done);

}  // namespace veltrane
