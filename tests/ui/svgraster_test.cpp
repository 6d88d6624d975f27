#include "ui/SvgRaster.hpp"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include "compute/figures/figure.hpp"

// A figure drawn into PNG by a program that has not started Qt: the image
// has twice the figure's size, a white ground and the figure's colours.
TEST(SvgRaster, DrawsAFigureWithoutAWindow) {
  veltrane::figure f(120, 80);
  f.filled_rectangle(10, 10, 50, 40, {200, 0, 0});
  f.text(60, 70, "E [V/nm]", 10, 'm');
  std::string png;
  ASSERT_FALSE(svgToPng(f.svg(), png));
  ASSERT_EQ(png.rfind("\x89PNG", 0), 0u);
  QImage image;
  ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                                 static_cast<int>(png.size()), "PNG"));
  EXPECT_EQ(image.width(), 240);
  EXPECT_EQ(image.height(), 160);
  EXPECT_EQ(QColor(image.pixel(4, 4)), QColor(Qt::white));
  EXPECT_EQ(QColor(image.pixel(60, 60)), QColor(200, 0, 0));
}

TEST(SvgRaster, RefusesWhatIsNoDrawing) {
  std::string png = "kept";
  const auto problem = svgToPng("<html>not a drawing</html>", png);
  ASSERT_TRUE(problem);
  EXPECT_EQ(*problem, "the drawing is not a valid SVG document");
  EXPECT_EQ(png, "kept");
}
