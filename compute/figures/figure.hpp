#pragma once

// A page of vector drawing: lines, rectangles and text in points (1/72 in)
// from the top left, written as SVG or as a page of a PDF document. Enough
// for the diagrams the command line draws without a drawing library.

#include <string>
#include <vector>

namespace veltrane {

struct colour {
  int r = 0, g = 0, b = 0;
};

class figure {
 public:
  figure(double width, double height) : width_(width), height_(height) {}

  double width() const { return width_; }
  double height() const { return height_; }

  /// A polyline through the points (x0, y0, x1, y1, ...); `dashed` draws it
  /// in dashes.
  void line(const std::vector<double>& xy, colour c, double width = 1.0, bool dashed = false);
  void rectangle(double x, double y, double w, double h, colour stroke);
  void filled_rectangle(double x, double y, double w, double h, colour fill);
  /// Text with its baseline at y; anchor 'l' (left), 'm' (middle) or 'r'
  /// (right); printable ASCII only (anything else is written as '?').
  void text(double x, double y, const std::string& text, double size = 10.0, char anchor = 'l',
            colour c = {});
  /// The same, turned a quarter counter-clockwise so that it reads upwards
  /// (the label of a vertical axis); the anchor runs along the text.
  void upright_text(double x, double y, const std::string& text, double size = 10.0,
                    char anchor = 'l', colour c = {});
  /// Rectangles that meet are drawn without the seam of smoothing between
  /// them (a heat map's cells).
  void crisp_edges() { crisp_ = true; }

  std::string svg() const;

 private:
  friend std::string pdf_document(const std::vector<figure>& pages);
  struct item {
    enum kind { polyline, box, filled_box, label } what;
    std::vector<double> xy;
    colour c;
    double width = 1.0;
    bool dashed = false;
    std::string text;
    char anchor = 'l';
    bool upright = false;
  };
  double width_, height_;
  bool crisp_ = false;
  std::vector<item> items_;
};

/// Text with the characters that XML gives a meaning escaped (& < > ").
std::string xml_escaped(const std::string& text);

/// The most intervals round_ticks() divides an axis into.
inline constexpr int most_tick_intervals = 1000;

/// Round tick values (steps of 1, 2 or 5 times a power of ten) from low to
/// high, about `intervals` steps apart (at most most_tick_intervals), so at
/// most intervals + 1 values: each is k times the step for a whole k (0.3 is
/// the double nearest 0.3, not 0.1 + 0.1 + 0.1). {low, high} when fewer
/// than two round values lie between them or neighbouring round values
/// cannot be told apart as doubles (a span of a few ulps, as of coordinates
/// near 2^52, or a span beyond the largest double); {low} when high is not
/// above low; only the finite ones of low and high when either is not
/// finite.
std::vector<double> round_ticks(double low, double high, int intervals);

/// A PDF document with one page per figure (Helvetica for the text).
std::string pdf_document(const std::vector<figure>& pages);

}  // namespace veltrane
