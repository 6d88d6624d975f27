#include "compute/figures/atlas.hpp"

#include <gtest/gtest.h>

#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/text_export.hpp"

using namespace veltrane;

TEST(Atlas, PageOfAnElementShowsItsStatesMarksAndSources) {
  const auto model = model_for(evaluation::accurate);
  charge_states states(*check_request({"Tungsten", "3", std::nullopt, std::nullopt}).request,
                       model.function, 2);
  states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
  const std::string svg = kingham_page(states, {"Work function of Tungsten: a book"}).svg();
  EXPECT_NE(svg.find(">Tungsten, n = 3</text>"), std::string::npos);
  for (const char* part : {">1+</text>", ">4+</text>", ">E_ob,1</text>", ">E_ob,3</text>",
                           ">3+=2+</text>", ">Work function of Tungsten: a book</text>",
                           ">work function 4.55 eV</text>", ">E [V/nm]</text>"}) {
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  }
  // The fields listed are the ones the charge-state commands give.
  const auto equal = equal_abundance(states, 2).field();
  ASSERT_TRUE(equal);
  EXPECT_NE(svg.find("2+ and 3+: " + format_number(*equal) + " V/nm"), std::string::npos);
  const auto barriers = states.over_barrier_fields();
  EXPECT_NE(svg.find("E_ob,1 = " + barriers[0].text() + " V/nm"), std::string::npos);
}
