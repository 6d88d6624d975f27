#include "compute/figures/figure.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace veltrane {

namespace {

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) out += (c >= 32 && c < 127) ? c : '?';
  return out;
}

std::string svg_colour(colour c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r & 255, c.g & 255, c.b & 255);
  return text;
}

std::string pdf_colour(colour c, const char* op) {
  return num((c.r & 255) / 255.0) + " " + num((c.g & 255) / 255.0) + " " +
         num((c.b & 255) / 255.0) + " " + op + "\n";
}

std::string pdf_escaped(const std::string& text) {
  std::string out;
  for (const char c : printable(text)) {
    if (c == '(' || c == ')' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Helvetica's advance widths (1/1000 of the size) of printable ASCII, for
// centring and right-aligning text in a PDF.
constexpr short helvetica[95] = {
    278, 278, 355, 556, 556, 889, 667, 191, 333, 333, 389, 584, 278, 333,  278, 278, 556, 556, 556,
    556, 556, 556, 556, 556, 556, 556, 278, 278, 584, 584, 584, 556, 1015, 667, 667, 722, 722, 667,
    611, 778, 722, 278, 500, 667, 556, 833, 722, 778, 667, 778, 722, 667,  611, 722, 667, 944, 667,
    667, 611, 278, 278, 278, 469, 556, 333, 556, 556, 500, 556, 556, 278,  556, 556, 222, 222, 500,
    222, 833, 556, 556, 556, 556, 333, 500, 278, 556, 500, 722, 500, 500,  500, 334, 260, 334, 584};

double text_width(const std::string& text, double size) {
  double w = 0;
  for (const char c : printable(text)) w += helvetica[c - 32];
  return w * size / 1000.0;
}

}  // namespace

std::string xml_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<double> round_ticks(double low, double high, int intervals) {
  if (!std::isfinite(low) || !std::isfinite(high)) {
    std::vector<double> finite;
    for (const double end : {low, high}) {
      if (std::isfinite(end)) finite.push_back(end);
    }
    return finite;
  }
  if (!(high > low) || intervals < 1) return {low};
  intervals = std::min(intervals, most_tick_intervals);
  const auto ends = [low, high] { return std::vector<double>{low, high}; };
  // (high - low) / intervals, also for a span beyond the largest double.
  const double raw = high / intervals - low / intervals;
  if (!(raw > 0.0) || !std::isfinite(raw)) return ends();
  // step = m 10^e, the first of m = 1, 2, 5, 10 that is not below raw.
  const int e = static_cast<int>(std::floor(std::log10(raw)));
  const double power = std::pow(10.0, e);
  double m = 10.0;
  for (const double candidate : {1.0, 2.0, 5.0}) {
    if (candidate * power >= raw) {
      m = candidate;
      break;
    }
  }
  const double step = m * power;
  if (!(step > 0.0) || !std::isfinite(step)) return ends();
  // The ticks are k step for whole k (a billionth of a step of leeway at
  // either end for rounding); each is computed from its k, never by adding
  // steps, which would not advance where a step is below half an ulp of the
  // value, and would drift elsewhere. Beyond 2^52 neighbouring whole
  // numbers are not all doubles, so such k are not counted on.
  const double k_low = std::ceil(low / step - 1e-9), k_high = std::floor(high / step + 1e-9);
  constexpr double whole_limit = 4503599627370496.0;  // 2^52
  if (!(k_low <= k_high) || !(std::fabs(k_low) < whole_limit) ||
      !(std::fabs(k_high) < whole_limit) || k_high - k_low > intervals + 1) {
    return ends();
  }
  // k m / 10^-e and k m 10^e round once, from exact factors, as long as the
  // power of ten is exact (up to 10^22): 0.3 is then the double nearest 0.3.
  const bool exact_power = e >= -22 && e <= 22;
  const double scale = std::pow(10.0, std::abs(e));
  const auto value = [&](double k) {
    if (!exact_power) return k * step;
    return e < 0 ? k * m / scale : k * m * scale;
  };
  // Where a step is near an ulp of the values, k step may round to just
  // beyond an end: such values are left out.
  const double leeway = 1e-9 * step;
  std::vector<double> t;
  const auto first = static_cast<std::int64_t>(k_low), last = static_cast<std::int64_t>(k_high);
  for (std::int64_t k = first; k <= last; ++k) {
    const double v = value(static_cast<double>(k));
    if (v < low - leeway || v > high + leeway) continue;
    // Round values that doubles cannot tell apart (a span of a few ulps).
    if (!t.empty() && !(v > t.back())) return ends();
    t.push_back(v);
  }
  // One value alone says less about the axis than its two ends.
  return t.size() >= 2 ? t : ends();
}

void figure::line(const std::vector<double>& xy, colour c, double width, bool dashed) {
  if (xy.size() < 4) return;
  items_.push_back({item::polyline, xy, c, width, dashed, {}, 'l'});
}

void figure::rectangle(double x, double y, double w, double h, colour stroke) {
  items_.push_back({item::box, {x, y, w, h}, stroke, 1.0, false, {}, 'l'});
}

void figure::filled_rectangle(double x, double y, double w, double h, colour fill) {
  items_.push_back({item::filled_box, {x, y, w, h}, fill, 1.0, false, {}, 'l'});
}

void figure::text(double x, double y, const std::string& text, double size, char anchor, colour c) {
  items_.push_back({item::label, {x, y}, c, size, false, text, anchor});
}

void figure::upright_text(double x, double y, const std::string& text, double size, char anchor,
                          colour c) {
  items_.push_back({item::label, {x, y}, c, size, false, text, anchor, true});
}

std::string figure::svg() const {
  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
      "width=\"" +
      num(width_) + "pt\" height=\"" + num(height_) + "pt\" viewBox=\"0 0 " + num(width_) + " " +
      num(height_) + "\" font-family=\"Helvetica, Arial, DejaVu Sans, sans-serif\"" +
      (crisp_ ? " shape-rendering=\"crispEdges\"" : "") +
      ">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  for (const auto& i : items_) {
    switch (i.what) {
      case item::polyline: {
        s += "<polyline fill=\"none\" stroke=\"" + svg_colour(i.c) + "\" stroke-width=\"" +
             num(i.width) + "\"" + (i.dashed ? " stroke-dasharray=\"4 3\"" : "") + " points=\"";
        for (std::size_t k = 0; k + 1 < i.xy.size(); k += 2) {
          s += (k ? " " : "") + num(i.xy[k]) + "," + num(i.xy[k + 1]);
        }
        s += "\"/>\n";
        break;
      }
      case item::box:
      case item::filled_box:
        s += "<rect x=\"" + num(i.xy[0]) + "\" y=\"" + num(i.xy[1]) + "\" width=\"" + num(i.xy[2]) +
             "\" height=\"" + num(i.xy[3]) + "\" " +
             (i.what == item::box ? "fill=\"none\" stroke=\"" : "fill=\"") + svg_colour(i.c) +
             "\"/>\n";
        break;
      case item::label: {
        const char* anchor = i.anchor == 'm' ? "middle" : i.anchor == 'r' ? "end" : "start";
        s += "<text x=\"" + num(i.xy[0]) + "\" y=\"" + num(i.xy[1]) + "\" font-size=\"" +
             num(i.width) + "\" text-anchor=\"" + anchor + "\" fill=\"" + svg_colour(i.c) + "\"" +
             (i.upright ? " transform=\"rotate(-90 " + num(i.xy[0]) + " " + num(i.xy[1]) + ")\""
                        : "") +
             ">" + xml_escaped(printable(i.text)) + "</text>\n";
        break;
      }
    }
  }
  return s + "</svg>\n";
}

namespace {

// The content stream of one page: PDF's y runs upward from the bottom.
std::string pdf_content(const figure& f, const auto& items) {
  const double h = f.height();
  std::string s;
  for (const auto& i : items) {
    if (i.what == i.polyline) {
      s += pdf_colour(i.c, "RG") + num(i.width) + " w " + (i.dashed ? "[4 3] 0 d\n" : "[] 0 d\n");
      for (std::size_t k = 0; k + 1 < i.xy.size(); k += 2) {
        s += num(i.xy[k]) + " " + num(h - i.xy[k + 1]) + (k ? " l\n" : " m\n");
      }
      s += "S\n";
    } else if (i.what == i.box || i.what == i.filled_box) {
      s += pdf_colour(i.c, i.what == i.box ? "RG" : "rg") + "1 w [] 0 d " + num(i.xy[0]) + " " +
           num(h - i.xy[1] - i.xy[3]) + " " + num(i.xy[2]) + " " + num(i.xy[3]) +
           (i.what == i.box ? " re S\n" : " re f\n");
    } else {
      const double w = text_width(i.text, i.width);
      const double along = i.anchor == 'm' ? w / 2 : i.anchor == 'r' ? w : 0.0;
      if (i.upright) {
        // A quarter turn: the text runs up the page from its anchor.
        s += pdf_colour(i.c, "rg") + "BT /F1 " + num(i.width) + " Tf 0 1 -1 0 " + num(i.xy[0]) +
             " " + num(h - i.xy[1] - along) + " Tm (" + pdf_escaped(i.text) + ") Tj ET\n";
      } else {
        s += pdf_colour(i.c, "rg") + "BT /F1 " + num(i.width) + " Tf " + num(i.xy[0] - along) +
             " " + num(h - i.xy[1]) + " Td (" + pdf_escaped(i.text) + ") Tj ET\n";
      }
    }
  }
  return s;
}

}  // namespace

std::string pdf_document(const std::vector<figure>& pages) {
  // Objects: 1 catalog, 2 page tree, 3 font, then a page and its content
  // per figure.
  std::vector<std::string> objects = {"", "",
                                      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                                      "/Encoding /WinAnsiEncoding >>"};
  std::string kids;
  for (const auto& f : pages) {
    const std::size_t page = objects.size() + 1;
    const std::string content = pdf_content(f, f.items_);
    kids += std::to_string(page) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + num(f.width()) + " " +
                      num(f.height()) + "] /Resources << /Font << /F1 3 0 R >> >> /Contents " +
                      std::to_string(page + 1) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
                      "endstream");
  }
  objects[0] = "<< /Type /Catalog /Pages 2 0 R >>";
  objects[1] =
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t at : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", at);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace veltrane
