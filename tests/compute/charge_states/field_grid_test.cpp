#include "compute/charge_states/field_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "compute/curves/sweep.hpp"

using namespace veltrane;

TEST(FieldGrid, KeepsEveryDigit) {
  std::string message;
  const auto fine = field_grid(100.0001, 100.0004, 0.0001, &message);
  ASSERT_TRUE(fine) << message;
  EXPECT_EQ(*fine, (std::vector<double>{100.0001, 100.0002, 100.0003, 100.0004}));
  // An end that is not on a step is left out; one within 1e-9 of a step is in.
  EXPECT_EQ(*field_grid(1.0, 2.2, 0.5, &message), (std::vector<double>{1.0, 1.5, 2.0}));
  EXPECT_EQ(field_grid(0.1, 0.7, 0.1, &message)->size(), 7u);
  EXPECT_EQ(field_grid(1.0, 2.0 + 1e-12, 0.5, &message)->size(), 3u);
}

TEST(FieldGrid, RefusesWhatIsNoGrid) {
  std::string message;
  EXPECT_FALSE(field_grid(10, 10, 0.5, &message));
  EXPECT_EQ(message, "the field range must rise: 10 is not below 10 V/nm");
  EXPECT_FALSE(field_grid(1, 10, 0, &message));
  EXPECT_EQ(message, "the field step must be a finite number above 0, not 0");
  EXPECT_FALSE(field_grid(0.5, 1e6, 0.5, &message));
  EXPECT_EQ(message,
            "the range from 0.5 to 1e+06 V/nm in steps of 0.5 has more than 100000 fields");
  EXPECT_FALSE(field_grid(1, NAN, 0.5, &message));
  // The model has no value at a field of 0 or below: the same rule as every
  // door's fields (field_fault).
  EXPECT_FALSE(field_grid(-5, 10, 0.5, &message));
  EXPECT_EQ(message, "the lowest field -5 V/nm is not above 0 V/nm");
  EXPECT_FALSE(field_grid(0, 10, 0.5, &message));
  EXPECT_EQ(message, "the lowest field 0 V/nm is not above 0 V/nm");
  EXPECT_FALSE(field_grid(-10, -5, 0.5, &message));
  EXPECT_EQ(message, "the lowest field -10 V/nm is not above 0 V/nm");
  EXPECT_EQ(field_fault(4.9e-324), "");
  EXPECT_EQ(field_fault(-0.0), "is not above 0 V/nm");
  EXPECT_EQ(field_fault(INFINITY), "is not a finite number");
  const auto grid = field_grid(1, 2, 0.25, &message);
  EXPECT_EQ(*grid, (std::vector<double>{1, 1.25, 1.5, 1.75, 2}));
}

// A scan that would run far beyond any real field is refused by name; a NaN
// end (no field where a ratio ends) is refused too.
TEST(FieldGrid, ScansBeyondAnyRealFieldAreRefused) {
  EXPECT_NO_THROW(check_scan_length("the ratio scan of 3+/2+", 1.0, 400.0, 0.5));
  try {
    check_scan_length("the ratio scan of 3+/2+", 1.0, 1e5, 0.5);
    ADD_FAILURE() << "a scan of 2e5 fields went through";
  } catch (const input_refused& e) {
    EXPECT_STREQ(e.what(),
                 "the ratio scan of 3+/2+ from 1 to 100000 V/nm in steps of 0.5 V/nm has more "
                 "than 100000 fields; are the ionisation energies right?");
  }
  EXPECT_THROW(check_scan_length("the ratios of 2+/1+", 1.0, NAN, 0.5), input_refused);
}
