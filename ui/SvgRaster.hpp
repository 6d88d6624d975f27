#pragma once

// SVG documents drawn into PNG images, for programs without a window of
// their own (the command line's figures).

#include <optional>
#include <string>

/// `svg` drawn at two pixels per unit of its size on white, as PNG bytes in
/// `png`; the reason on failure. Starts Qt's graphics on the offscreen
/// platform first when the program has not started them.
std::optional<std::string> svgToPng(const std::string& svg, std::string& png);
