#include "compute/datasets/joint_field.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/joint_text.hpp"

using namespace veltrane;

namespace {

// Kingham-like steps (see joint_fit_test.cpp), each element's moved by its
// own shift.
model_function stand_in(double shift) {
  return [shift](double F, double, double, int, int j, double, double) {
    static constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
    static constexpr double barrier[] = {26.0, 42.0, 66.0, 95.0};
    const double E = F * vnm_per_au;
    const auto i = static_cast<std::size_t>(j) - 1;
    if (E >= barrier[i] + shift) return std::nan("");
    const double x = (E - half[i] - shift) * 0.8;
    if (x < -30.0) return 1.0;
    return 1.0 / (1.0 + std::exp(x));
  };
}

calc_request request_of(const char* element, int n) {
  return *check_request({element, std::to_string(n), std::nullopt, std::nullopt}).request;
}

// Iron, chromium and nickel at 1+ to 3+ with their main isotopes ranged,
// the 27, 28, 29 and 54 Da peaks shared, and silicon and aluminium named.
const char* steel =
    "[Ions]\nNumber=5\nIon1=Fe\nIon2=Cr\nIon3=Ni\nIon4=Si\nIon5=Al\n"
    "[Ranges]\nNumber=17\n"
    "Range1=17.25 17.40 Cr:1\n"    // 52Cr3+
    "Range2=18.60 18.72 Fe:1\n"    // 56Fe3+
    "Range3=19.27 19.40 Ni:1\n"    // 58Ni3+
    "Range4=25.90 26.05 Cr:1\n"    // 52Cr2+
    "Range5=26.40 26.55 Cr:1\n"    // 53Cr2+
    "Range6=26.92 27.05 Fe:1\n"    // 54Fe2+ 54Cr2+ 27Al+
    "Range7=27.90 28.05 Fe:1\n"    // 56Fe2+ 28Si+
    "Range8=28.42 28.55 Fe:1\n"    // 57Fe2+
    "Range9=28.92 29.05 Ni:1\n"    // 58Ni2+ 58Fe2+ 29Si+
    "Range10=29.90 30.05 Ni:1\n"   // 60Ni2+ 30Si+
    "Range11=30.40 30.55 Ni:1\n"   // 61Ni2+
    "Range12=51.85 52.05 Cr:1\n"   // 52Cr+
    "Range13=52.85 53.05 Cr:1\n"   // 53Cr+
    "Range14=53.85 54.05 Fe:1\n"   // 54Fe+ 54Cr+
    "Range15=55.85 56.05 Fe:1\n"   // 56Fe+
    "Range16=57.85 58.05 Ni:1\n"   // 58Ni+ 58Fe+
    "Range17=59.85 60.05 Ni:1\n";  // 60Ni+

struct steel_run {
  apt::range_file file = apt::parse_range_text(steel, "steel.rrng");
  range_design design =
      design_ranges(file, apt::assign_charges(file), apt::charge_options{}, {"Si", "Al"});
  charge_states fe{request_of("Iron", 2), stand_in(0.0), 1};
  charge_states cr{request_of("Chromium", 2), stand_in(1.5), 1};
  charge_states ni{request_of("Nickel", 2), stand_in(-1.0), 1};
  joint_field_model model{design, {{"Fe", &fe}, {"Cr", &cr}, {"Ni", &ni}}};

  // The expected range counts of the elements' ions at the fields given,
  // with silicon and aluminium at 1+ besides.
  fit_counts counts(std::map<std::string, double> N, std::map<std::string, double> E,
                    double si = 2000.0, double al = 1000.0) const {
    std::vector<double> A(design.species.size(), 0.0);
    for (std::size_t e = 0; e < model.element_count(); ++e) {
      const std::string& symbol = model.symbol(e);
      std::vector<double> f(4);
      model.curves(e).fractions_at(E.at(symbol), f);
      for (int q = 1; q <= 3; ++q) {
        const int s = design.find(symbol, q);
        if (s >= 0)
          A[static_cast<std::size_t>(s)] = N.at(symbol) * f[static_cast<std::size_t>(q) - 1];
      }
    }
    A[static_cast<std::size_t>(design.find("Si", 1))] = si;
    A[static_cast<std::size_t>(design.find("Al", 1))] = al;
    return {poisson_means(design.shares, A, {}), {}};
  }
};

}  // namespace

TEST(JointField, NoiseFreeAlloyGivesItsFieldAndEveryElementAgrees) {
  steel_run run;
  const fit_counts counts = run.counts({{"Fe", 7e5}, {"Cr", 2e5}, {"Ni", 1e5}},
                                       {{"Fe", 30.0}, {"Cr", 30.0}, {"Ni", 30.0}});
  const joint_answer a = run.model.fit(counts, {});
  ASSERT_TRUE(a.field.found);
  EXPECT_NEAR(a.field.E, 30.0, 1e-4);
  EXPECT_NEAR(a.test.G2, 0.0, 1e-4);
  EXPECT_GT(a.test.dof, 0);
  for (const auto& part : a.elements) {
    EXPECT_TRUE(part.used) << part.symbol;
    ASSERT_TRUE(part.own.found) << part.symbol;
    EXPECT_NEAR(part.own.E, 30.0, 1e-3) << part.symbol;
  }
  EXPECT_FALSE(a.at_edge);
}

TEST(JointField, DecompositionGivesEverySpeciesItsIonsWithErrorsThatHold) {
  // Every silicon isotope sits under a peak of iron or nickel here: its
  // amount comes from the isotopes' proportions alone, with an error many
  // times that of a peak of its own. Over simulated runs the stated error
  // is the spread of the estimates.
  steel_run run;
  const fit_counts mean = run.counts({{"Fe", 7e5}, {"Cr", 2e5}, {"Ni", 1e5}},
                                     {{"Fe", 30.0}, {"Cr", 30.0}, {"Ni", 30.0}}, 30000.0, 1500.0);
  const auto exact = decompose(run.design, mean);
  const auto si = static_cast<std::size_t>(run.design.find("Si", 1));
  const auto al = static_cast<std::size_t>(run.design.find("Al", 1));
  EXPECT_NEAR(exact[si].amount, 30000.0, 1e-2);
  EXPECT_NEAR(exact[al].amount, 1500.0, 1e-2);
  EXPECT_GT(exact[si].sigma, std::sqrt(30000.0) * 5.0);
  std::mt19937_64 rng(11);
  double sum = 0.0, sum2 = 0.0;
  const int runs = 200;
  for (int k = 0; k < runs; ++k) {
    fit_counts drawn;
    for (double m : mean.counts) {
      drawn.counts.push_back(static_cast<double>(std::poisson_distribution<long>(m)(rng)));
    }
    const double x = decompose(run.design, drawn)[si].amount;
    sum += x;
    sum2 += x * x;
  }
  const double spread = std::sqrt(sum2 / runs - (sum / runs) * (sum / runs));
  // The spread of 200 draws is within about 10 % of the truth (5 sd's worth
  // of a chi distribution's 5 %).
  EXPECT_NEAR(spread, exact[si].sigma, 0.25 * exact[si].sigma);
}

TEST(JointField, ElementAtAnotherFieldFailsTheTest) {
  steel_run run;
  fit_counts counts = run.counts({{"Fe", 7e5}, {"Cr", 2e5}, {"Ni", 1e5}},
                                 {{"Fe", 30.0}, {"Cr", 32.0}, {"Ni", 30.0}});
  for (double& c : counts.counts) c = std::round(c);
  const joint_answer a = run.model.fit(counts, {});
  EXPECT_LT(a.test.p_value, 1e-6);
  EXPECT_NEAR(a.elements[1].own.E, 32.0, 0.05);
  EXPECT_NEAR(a.elements[0].own.E, 30.0, 0.05);
}

TEST(JointField, ElementsWithTooFewIonsAreLeftOutAndSaidSo) {
  steel_run run;
  fit_counts counts = run.counts({{"Fe", 7e5}, {"Cr", 50.0}, {"Ni", 1e5}},
                                 {{"Fe", 30.0}, {"Cr", 30.0}, {"Ni", 30.0}});
  const joint_answer a = run.model.fit(counts, {});
  EXPECT_FALSE(a.elements[1].used);
  EXPECT_NE(a.elements[1].note.find("Cr is left out"), std::string::npos) << a.elements[1].note;
  EXPECT_NEAR(a.field.E, 30.0, 1e-3);
  // No element with enough: no field, and no NaN posing as one.
  joint_options strict;
  strict.min_counts = 1e9;
  const joint_answer none = run.model.fit(counts, strict);
  EXPECT_FALSE(none.field.found);
  ASSERT_FALSE(none.notes.empty());
}

TEST(JointField, IonsOnBothSidesOfAnOverBarrierFieldAreSaidToVary) {
  // Half the run at 24 V/nm with 1+ common, half at 28 V/nm above iron's
  // 1+ edge (26): one field cannot give both.
  steel_run run;
  const fit_counts low = run.counts({{"Fe", 3e5}, {"Cr", 1e5}, {"Ni", 5e4}},
                                    {{"Fe", 24.0}, {"Cr", 24.0}, {"Ni", 24.0}});
  const fit_counts high = run.counts({{"Fe", 3e5}, {"Cr", 1e5}, {"Ni", 5e4}},
                                     {{"Fe", 28.0}, {"Cr", 28.0}, {"Ni", 28.0}});
  fit_counts both = low;
  for (std::size_t r = 0; r < both.counts.size(); ++r) {
    both.counts[r] = std::round(low.counts[r] + high.counts[r]);
  }
  joint_options options;
  options.counts_of = "bin";
  const joint_answer a = run.model.fit(both, options);
  ASSERT_TRUE(a.field.found);
  EXPECT_FALSE(std::isnan(a.field.E));
  EXPECT_LT(a.test.p_value, 1e-6);
  EXPECT_TRUE(a.at_edge) << a.field.E << " p " << a.test.p_value;
  ASSERT_FALSE(a.notes.empty());
  EXPECT_NE(a.notes.back().find("varies within this bin"), std::string::npos);
}

namespace {

// Steps as stand_in's, but each Q_j exactly 1 below 4 V/nm under its
// middle (the barrier too thick for any tunnelling), so that a charge
// state has probability 0 at low fields as 1+ has above its barrier.
model_function sharp_stand_in(double shift) {
  return [shift](double F, double, double, int, int j, double, double) {
    static constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
    static constexpr double barrier[] = {26.0, 42.0, 66.0, 95.0};
    const double E = F * vnm_per_au;
    const auto i = static_cast<std::size_t>(j) - 1;
    if (E >= barrier[i] + shift) return std::nan("");
    const double x = (E - half[i] - shift) * 0.8;
    if (x < -3.2) return 1.0;
    return 1.0 / (1.0 + std::exp(x));
  };
}

}  // namespace

TEST(JointField, AnElementWhoseIonsNoFieldGivesIsLeftOutAndNamed) {
  // Chromium at 1+ (only below 26 V/nm) and 3+ (only above 31 V/nm): no
  // field gives both. Iron and nickel at 22 V/nm.
  const apt::range_file file = apt::parse_range_text(steel, "steel.rrng");
  const range_design design =
      design_ranges(file, apt::assign_charges(file), apt::charge_options{}, {"Si", "Al"});
  charge_states fe{request_of("Iron", 2), sharp_stand_in(0.0), 1};
  charge_states cr{request_of("Chromium", 2), sharp_stand_in(0.0), 1};
  charge_states ni{request_of("Nickel", 2), sharp_stand_in(0.0), 1};
  const joint_field_model model{design, {{"Fe", &fe}, {"Cr", &cr}, {"Ni", &ni}}};
  std::vector<double> A(design.species.size(), 0.0);
  std::vector<double> f(3);
  for (const auto& [symbol, N] : {std::pair{"Fe", 7e5}, std::pair{"Ni", 1e5}}) {
    model.curves(symbol == std::string("Fe") ? 0 : 2).fractions_at(22.0, f);
    for (int q = 1; q <= 2; ++q) {
      A[static_cast<std::size_t>(design.find(symbol, q))] = N * f[static_cast<std::size_t>(q) - 1];
    }
  }
  A[static_cast<std::size_t>(design.find("Cr", 1))] = 5e4;
  A[static_cast<std::size_t>(design.find("Cr", 3))] = 2e4;
  const fit_counts counts{poisson_means(design.shares, A, {}), {}};

  const joint_answer a = model.fit(counts, {});
  ASSERT_TRUE(a.field.found);
  EXPECT_NEAR(a.field.E, 22.0, 1e-3);
  EXPECT_FALSE(a.elements[1].used);
  EXPECT_EQ(a.elements[1].note.rfind("Cr is left out here: no field of the model gives its ions "
                                     "(1+ ",
                                     0),
            0u)
      << a.elements[1].note;
  EXPECT_NE(a.elements[1].note.find("3+ "), std::string::npos) << a.elements[1].note;
  EXPECT_TRUE(a.no_field.empty());
  const joint_words w = joint_answer_words(a, 0.95, plain_answer_numbers());
  EXPECT_NE(w.answer.find(" from Fe, Ni"), std::string::npos) << w.answer;

  // Chromium alone: no field at all, said so, and no NaN posing as one.
  const joint_field_model alone{design, {{"Cr", &cr}}};
  const joint_answer none = alone.fit(counts, {});
  EXPECT_FALSE(none.field.found);
  EXPECT_EQ(none.no_field, "no field of the model gives the ions of Cr");
  EXPECT_EQ(joint_answer_words(none, 0.95, plain_answer_numbers()).answer,
            "no field: no field of the model gives the ions of Cr");
  EXPECT_EQ(none.test.dof, 0);

  // Iron at 1+ alone (below 26 V/nm) and chromium at 3+ alone (above 31
  // V/nm): each has fields of its own, no field gives both.
  std::vector<double> B(design.species.size(), 0.0);
  B[static_cast<std::size_t>(design.find("Fe", 1))] = 5e4;
  B[static_cast<std::size_t>(design.find("Cr", 3))] = 2e4;
  const joint_field_model pair{design, {{"Fe", &fe}, {"Cr", &cr}}};
  const joint_answer apart = pair.fit({poisson_means(design.shares, B, {}), {}}, {});
  EXPECT_FALSE(apart.field.found);
  EXPECT_EQ(apart.no_field, "no single field of the model gives the ions of Fe, Cr together");
  for (const auto& part : apart.elements) {
    EXPECT_TRUE(part.used) << part.symbol;
    EXPECT_TRUE(part.own.found) << part.symbol;
  }
}

TEST(JointField, DecompositionReachesTheMaximumWithSpeciesAtZero) {
  // Chromium's 2+, silicon and aluminium absent: the scoring must not stop
  // short where a step towards A = 0 had to be cut (it did, by a few
  // thousand in the log-likelihood of a million ions).
  steel_run run;
  const range_design& d = run.design;
  std::vector<double> A(d.species.size(), 0.0);
  A[static_cast<std::size_t>(d.find("Fe", 1))] = 1.2e5;
  A[static_cast<std::size_t>(d.find("Fe", 2))] = 5.8e5;
  A[static_cast<std::size_t>(d.find("Ni", 1))] = 2e4;
  A[static_cast<std::size_t>(d.find("Ni", 2))] = 8e4;
  A[static_cast<std::size_t>(d.find("Cr", 1))] = 5e4;
  A[static_cast<std::size_t>(d.find("Cr", 3))] = 2e4;
  const std::vector<double> means = poisson_means(d.shares, A, {});
  const double top = poisson_log_likelihood(means, means);
  for (const std::vector<double>& start :
       {std::vector<double>{}, std::vector<double>(d.species.size(), 1000.0)}) {
    const amounts_fit fit = fit_amounts(d.shares, means, {}, start);
    EXPECT_TRUE(fit.converged);
    EXPECT_NEAR(fit.log_likelihood, top, 1e-6) << start.size();
  }
  const auto amounts = decompose(d, {means, {}});
  for (std::size_t s = 0; s < amounts.size(); ++s) {
    if (amounts[s].separable) {
      EXPECT_NEAR(amounts[s].amount, A[s], 1e-3 * (1.0 + A[s])) << amounts[s].label;
    }
  }
}
