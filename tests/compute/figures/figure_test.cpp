#include "compute/figures/figure.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
