#include "compute/charge_spec.hpp"

#include <gtest/gtest.h>

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
