#include "compute/figures/map_figure.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace veltrane;

namespace {

map_bin bin_at(std::int64_t i, std::int64_t j, double E, bool masked = false) {
  map_bin b;
  b.i = i;
  b.j = j;
  b.masked = masked;
  b.field.E = masked ? std::nan("") : E;
  return b;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(MapFigure, ColoursRunFromTheLowToTheHighEndOfTheBar) {
  EXPECT_EQ(map_colour(0.0), "#440154");
  EXPECT_EQ(map_colour(1.0), "#fde725");
  EXPECT_EQ(map_colour(-3.0), map_colour(0.0));
  EXPECT_EQ(map_colour(7.0), map_colour(1.0));
  EXPECT_EQ(map_colour(std::nan("")), map_colour(0.0));
  EXPECT_EQ(map_colour(0.5), "#21918c");
}

TEST(MapFigure, BinsTheirColoursMaskedGreyAndAxesInTheMapsUnit) {
  field_map map;
  map.bin = 2.0;
  map.bins = {bin_at(-2, 0, 30.0), bin_at(-1, 0, 32.0), bin_at(0, 1, 31.0, true)};
  map.i_min = -2;
  map.i_max = 0;
  map.j_min = 0;
  map.j_max = 1;
  const std::string svg = map_svg(map, "W 3+/2+ <run>");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("W 3+/2+ &lt;run&gt;"), std::string::npos);
  // The lowest field takes the bar's low end, the highest its high end, the
  // masked bin grey (and the key's square).
  EXPECT_EQ(count_of(svg, "fill=\"#440154\""), 1u);
  EXPECT_EQ(count_of(svg, "fill=\"#fde725\""), 1u);
  EXPECT_EQ(count_of(svg, "fill=\"#c8c8c8\""), 2u);
  EXPECT_NE(svg.find("x [mm]"), std::string::npos);
  EXPECT_NE(svg.find("E [V/nm]"), std::string::npos);
  EXPECT_NE(svg.find(">-4</text>"), std::string::npos);  // the left edge, -2 x 2 mm
  map.over = map_plane::specimen;
  EXPECT_NE(map_svg(map, "").find("y [nm]"), std::string::npos);

  field_map empty;
  EXPECT_NE(map_svg(empty, "").find("no ion of the pair"), std::string::npos);
  map.bins = {bin_at(0, 0, 0.0, true)};
  EXPECT_NE(map_svg(map, "").find("no bin has a field"), std::string::npos);
  EXPECT_EQ(map_svg(map, "").find("url(#bar)"), std::string::npos);
}

TEST(MapFigure, AMapFarOutOrOfTinyBinsIsDrawnWithFewTicks) {
  // Ions at det_x = det_y = 2^52 and 2^61 mm in 2 mm bins, and at 12.3 mm in
  // bins of 1e-14 mm: the axes span a few ulps of their values (at 2^61 a
  // step of 1 mm adds nothing); the fields of the two bins are neighbouring
  // doubles, so the colour bar spans one ulp.
  const std::pair<double, std::int64_t> layouts[] = {
      {2.0, std::int64_t{1} << 51}, {2.0, std::int64_t{1} << 60}, {1e-14, 1234560000000000}};
  for (const auto& [bin, i] : layouts) {
    field_map map;
    map.bin = bin;
    map.bins = {bin_at(i, i, 30.0), bin_at(i + 1, i, std::nextafter(30.0, 31.0))};
    map.i_min = map.j_min = i;
    map.i_max = i + 1;
    map.j_max = i;
    const std::string svg = map_svg(map, "far out");
    EXPECT_EQ(svg.find("nan"), std::string::npos) << bin << " " << i;
    EXPECT_EQ(svg.find("inf"), std::string::npos) << bin << " " << i;
    // The colour bar's ticks are its two ends, both written "30".
    EXPECT_EQ(count_of(svg, ">30</text>"), 2u) << bin << " " << i;
    EXPECT_LE(count_of(svg, "</text>"), 30u) << bin << " " << i;
  }
}
