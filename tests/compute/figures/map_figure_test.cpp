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
