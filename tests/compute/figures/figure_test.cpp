#include "compute/figures/figure.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace veltrane;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

figure sample() {
  figure f(200, 100);
  f.line({10, 10, 50, 90}, {255, 0, 0}, 2.0, true);
  f.rectangle(5, 5, 20, 10, {});
  f.filled_rectangle(30, 30, 10, 10, {0, 128, 255});
  f.text(100, 50, "E (V/nm) <1> & \xce\xb1", 12, 'm');
  return f;
}

}  // namespace

TEST(Figure, SvgHoldsEveryItemEscaped) {
  const std::string svg = sample().svg();
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("width=\"200pt\" height=\"100pt\""), std::string::npos);
  EXPECT_NE(svg.find("points=\"10,10 50,90\""), std::string::npos);
  EXPECT_NE(svg.find("stroke-dasharray"), std::string::npos);
  EXPECT_NE(svg.find("fill=\"#0080ff\""), std::string::npos);
  // Markup characters escaped; what is not ASCII written as '?'.
  EXPECT_NE(svg.find(">E (V/nm) &lt;1&gt; &amp; ?"
                     "?</text>"),
            std::string::npos)
      << svg;
}

TEST(Figure, PdfIsAWellFormedDocumentOfItsPages) {
  const std::string pdf = pdf_document({sample(), sample(), figure(842, 595)});
  EXPECT_EQ(pdf.rfind("%PDF-1.4\n", 0), 0u);
  EXPECT_NE(pdf.find("/Count 3"), std::string::npos);
  EXPECT_EQ(count_of(pdf, "/Type /Page "), 3u);
  // Parentheses and backslashes in text escaped; y measured from the bottom.
  EXPECT_NE(pdf.find("(E \\(V/nm\\) <1> & ?"
                     "?) Tj"),
            std::string::npos);
  EXPECT_NE(pdf.find("10 90 m\n50 10 l\nS"), std::string::npos);
  // Every offset of the cross-reference table points at its object.
  const std::size_t xref = pdf.find("xref\n");
  const std::size_t start = std::stoul(pdf.substr(pdf.find("startxref\n") + 10));
  EXPECT_EQ(start, xref);
  std::size_t entry = pdf.find("65535 f \n", xref) + 9;
  for (int object = 1; entry + 20 <= pdf.size() && pdf[entry] != 't'; ++object, entry += 20) {
    const std::size_t offset = std::stoul(pdf.substr(entry, 10));
    EXPECT_EQ(
        pdf.compare(offset, std::to_string(object).size() + 6, std::to_string(object) + " 0 obj"),
        0)
        << object;
  }
  // Stream lengths are the bytes between "stream\n" and "endstream".
  for (std::size_t at = pdf.find("/Length "); at != std::string::npos;
       at = pdf.find("/Length ", at + 1)) {
    const std::size_t length = std::stoul(pdf.substr(at + 8));
    const std::size_t body = pdf.find("stream\n", at) + 7;
    EXPECT_EQ(pdf.compare(body + length, 9, "endstream"), 0);
  }
}

namespace {

using ticks = std::vector<double>;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan_value = std::nan("");

// What every answer of round_ticks must be: few values, rising, between
// the ends (up to a billionth of a step of leeway, a step being at most ten
// times the span over the intervals).
void expect_sane(double low, double high, int intervals) {
  const ticks t = round_ticks(low, high, intervals);
  SCOPED_TRACE(testing::Message() << low << " " << high << " " << intervals);
  ASSERT_FALSE(t.empty());
  EXPECT_LE(t.size(), static_cast<std::size_t>(std::max(intervals, 1)) + 1);
  const double leeway = 1e-8 * (high / 2 - low / 2) * 2;
  for (std::size_t i = 0; i < t.size(); ++i) {
    EXPECT_TRUE(std::isfinite(t[i]));
    EXPECT_GE(t[i], low - leeway);
    EXPECT_LE(t[i], high + leeway);
    if (i > 0) {
      EXPECT_GT(t[i], t[i - 1]);
    }
  }
}

}  // namespace

TEST(RoundTicks, StepsOfOneTwoOrFiveEachTheDoubleNearestItsDecimal) {
  EXPECT_EQ(round_ticks(0, 10, 4), (ticks{0, 5, 10}));
  EXPECT_EQ(round_ticks(-1, 1, 4), (ticks{-1, -0.5, 0, 0.5, 1}));
  EXPECT_EQ(round_ticks(33.2, 36.1, 4), (ticks{34, 35, 36}));
  EXPECT_EQ(round_ticks(-3.7e6, 1.2e6, 6), (ticks{-3e6, -2e6, -1e6, 0, 1e6}));
  // k step from whole k: adding 0.1 three times gives 0.30000000000000004.
  EXPECT_EQ(round_ticks(0.1, 0.7, 6), (ticks{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7}));
  EXPECT_EQ(round_ticks(0.0, 3e-7, 3), (ticks{0, 1e-7, 2e-7, 3e-7}));
  // Zero is zero, not a rounding residue of the steps before it.
  const ticks around_zero = round_ticks(-0.3, 0.3, 6);
  ASSERT_EQ(around_zero.size(), 7u);
  EXPECT_EQ(around_zero[3], 0.0);
  EXPECT_FALSE(std::signbit(around_zero[3]));
}

TEST(RoundTicks, SpansOfAFewUlpsGiveTheEndsAndNeverLoop) {
  const double one_ulp_up = std::nextafter(1.0, 2.0);
  EXPECT_EQ(round_ticks(1.0, one_ulp_up, 4), (ticks{1.0, one_ulp_up}));
  // Ions at det_x = 2^52 mm in bins of 2 mm: whole numbers are all the
  // doubles there are.
  const double far = 4503599627370496.0;
  EXPECT_EQ(round_ticks(far, far + 2, 4), (ticks{far, far + 2}));
  EXPECT_EQ(round_ticks(1e16, 1e16 + 2, 4), (ticks{1e16, 1e16 + 2}));
  // A map at 12.3 mm in bins of 1e-14 mm: a span of a few ulps.
  expect_sane(12.3456, 12.3456 + 1e-14, 4);
  // Spans that hold no round value of their step, or only one.
  EXPECT_EQ(round_ticks(0.11, 0.19, 1), (ticks{0.11, 0.19}));
  EXPECT_EQ(round_ticks(0.11, 0.29, 1), (ticks{0.11, 0.29}));
  for (const double at : {0.0, 1.0, -7.5, 1e-300, 3e15, 4.5e15, 1e300, -DBL_MAX}) {
    for (int ulps = 1; ulps <= 8; ++ulps) {
      double high = at;
      for (int u = 0; u < ulps; ++u) high = std::nextafter(high, inf);
      expect_sane(at, high, 4);
    }
  }
}

TEST(RoundTicks, HugeSpansAndAbsurdArgumentsStayBounded) {
  EXPECT_EQ(round_ticks(-1e308, 1e308, 4), (ticks{-1e308, -5e307, 0, 5e307, 1e308}));
  // A span beyond the largest double.
  EXPECT_EQ(round_ticks(-DBL_MAX, DBL_MAX, 1), (ticks{-DBL_MAX, DBL_MAX}));
  expect_sane(0, DBL_MAX, 4);
  expect_sane(-DBL_MAX, DBL_MAX, 6);
  expect_sane(0, 1e-320, 4);  // denormal steps
  expect_sane(0, 5e-324, 4);
  EXPECT_EQ(round_ticks(0, 1, INT_MAX).size(), static_cast<std::size_t>(most_tick_intervals) + 1);
  // Ends that are not finite, or no span.
  EXPECT_EQ(round_ticks(nan_value, 1, 4), (ticks{1}));
  EXPECT_EQ(round_ticks(0, inf, 4), (ticks{0}));
  EXPECT_EQ(round_ticks(-inf, inf, 4), ticks{});
  EXPECT_EQ(round_ticks(nan_value, nan_value, 4), ticks{});
  EXPECT_EQ(round_ticks(2, 2, 4), (ticks{2}));
  EXPECT_EQ(round_ticks(3, 2, 4), (ticks{3}));
  EXPECT_EQ(round_ticks(0, 1, 0), (ticks{0}));
  // Spans of every size at every place.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> exponent(-300, 300), unit(-1, 1);
  for (int n = 0; n < 20000; ++n) {
    const double low = unit(rng) * std::pow(10.0, exponent(rng));
    const double high = low + std::fabs(unit(rng)) * std::pow(10.0, exponent(rng));
    if (high > low) expect_sane(low, high, 1 + n % 8);
  }
}
