#include "compute/charge_states/charge_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

TEST(ChargeSpec, TypedRatiosAndCounts) {
  std::string message;
  auto r = parse_ratio_spec("3+/2+=0.8", 3, &message);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->k, 2);
  EXPECT_EQ(r->ratio, 0.8);
  r = parse_ratio_spec("2+/3+=1.25", 3, &message);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->k, 2);
  EXPECT_EQ(r->ratio, 0.8);
  const std::pair<const char*, const char*> bad_ratios[] = {
      {"3+/2+=0", "a ratio must be a finite number above 0, not \"0\""},
      {"3+/2+=-1", "a ratio must be a finite number above 0, not \"-1\""},
      {"3+/2+=NaN", "a ratio must be a finite number above 0, not \"NaN\""},
      {"3+/2+=Infinity", "a ratio must be a finite number above 0, not \"Infinity\""},
      {"3+/1+=2", "3+ and 1+ are not neighbouring charge states"},
      {"5+/4+=2", "5+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {"3/2=0.8", "a ratio is written as 3+/2+=0.8, not \"3/2=0.8\""},
      {"", "a ratio is written as 3+/2+=0.8, not \"\""},
  };
  for (const auto& [text, expected] : bad_ratios) {
    EXPECT_FALSE(parse_ratio_spec(text, 3, &message)) << text;
    EXPECT_EQ(message, expected);
  }

  auto counts = parse_counts_spec("2+=1200,3+=960", 3, &message);
  ASSERT_TRUE(counts);
  EXPECT_EQ((*counts)[2], 1200.0);
  EXPECT_EQ(counted_pairs(*counts, &message), std::vector<int>{2});
  counts = parse_counts_spec("1+=5,2+=1200,3+=960", 3, &message);
  EXPECT_EQ(counted_pairs(*counts, &message), (std::vector<int>{1, 2}));
  const std::pair<const char*, const char*> bad_counts[] = {
      {"2+=-3,3+=1", "a count must be a whole number of at least 0, not \"-3\""},
      {"2+=1.5,3+=1", "a count must be a whole number of at least 0, not \"1.5\""},
      {"2+=1,2+=3", "2+ is counted twice"},
      {"2+=1,6+=3", "6+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {"2+1200", "counts are written as 2+=1200,3+=960, not \"2+1200\""},
  };
  for (const auto& [text, expected] : bad_counts) {
    EXPECT_FALSE(parse_counts_spec(text, 3, &message)) << text;
    EXPECT_EQ(message, expected);
  }
  EXPECT_FALSE(counted_pairs(*parse_counts_spec("2+=0,3+=0", 3, &message), &message));
  EXPECT_EQ(message, "the counts of 2+ and 3+ are both zero");
  EXPECT_FALSE(counted_pairs(*parse_counts_spec("1+=5,3+=7", 3, &message), &message));
  EXPECT_EQ(message, "counts of two neighbouring charge states are needed, such as 2+=1200,3+=960");
}

TEST(ChargeSpec, PairsOfNeighbours) {
  std::string message;
  EXPECT_EQ(parse_pair_spec("3+/2+", 3, &message), 2);
  EXPECT_EQ(parse_pair_spec("2+/3+", 3, &message), 2);
  EXPECT_EQ(parse_pair_spec(" 2+/1+ ", 1, &message), 1);
  const std::pair<const char*, const char*> bad[] = {
      {"3+/1+", "3+ and 1+ are not neighbouring charge states"},
      {"5+/4+", "5+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {"3/2", "a pair is written as 3+/2+, not \"3/2\""},
      {"3+/2+=1", "a pair is written as 3+/2+, not \"3+/2+=1\""},
      {"", "a pair is written as 3+/2+, not \"\""},
  };
  for (const auto& [text, expected] : bad) {
    EXPECT_FALSE(parse_pair_spec(text, 3, &message)) << text;
    EXPECT_EQ(message, expected);
  }
}

TEST(ChargeSpec, NumbersCheckedAsTheyAreGiven) {
  std::string message;
  EXPECT_EQ(check_pair(3, 2, 3, &message), 2);
  EXPECT_EQ(check_pair(2, 3, 3, &message), 2);
  EXPECT_FALSE(check_pair(2, 4, 3, &message));
  EXPECT_EQ(message, "2+ and 4+ are not neighbouring charge states");
  EXPECT_FALSE(check_pair(0, 1, 3, &message));
  EXPECT_EQ(message, "0+ is not a charge state of 3 ionisations (1+ to 4+)");

  EXPECT_EQ(ratio_fault(0.8), "");
  EXPECT_EQ(ratio_fault(0.0), "is not above 0");
  EXPECT_EQ(ratio_fault(-1.0), "is not above 0");
  EXPECT_EQ(ratio_fault(std::numeric_limits<double>::infinity()), "is not finite");
  EXPECT_EQ(ratio_fault(std::nan("")), "is not a number");
  const auto r = check_ratio(2, 0.8, "0,8", &message);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->k, 2);
  EXPECT_EQ(r->ratio, 0.8);
  EXPECT_FALSE(check_ratio(2, -1.5, "-1,5", &message));
  EXPECT_EQ(message, "a ratio must be a finite number above 0, not \"-1,5\"");

  EXPECT_EQ(count_fault(0.0), "");
  EXPECT_EQ(count_fault(1e15), "");
  EXPECT_EQ(count_fault(2.5), "is not a whole number");
  EXPECT_EQ(count_fault(-1.0), "is below 0");
  EXPECT_EQ(count_fault(2e15), "is above 1e15");
  EXPECT_EQ(count_fault(std::nan("")), "is not a number");
  EXPECT_TRUE(check_counts(2, 1200, 960, "1200", "960", &message));
  EXPECT_TRUE(check_counts(2, 0, 960, "0", "960", &message));
  EXPECT_FALSE(check_counts(2, 1200, 1.5, "1200", "1,5", &message));
  EXPECT_EQ(message, "a count must be a whole number of at least 0, not \"1,5\"");
  EXPECT_FALSE(check_counts(2, 0, 0, "0", "0", &message));
  EXPECT_EQ(message, "the counts of 2+ and 3+ are both zero");
}
