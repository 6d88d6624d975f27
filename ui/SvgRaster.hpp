#pragma once

// SVG documents drawn into PNG images, for programs without a window of
// their own (the command line's figures).

#include <optional>
#include <string>

/// `svg` drawn at two pixels per unit of its size on white, as PNG bytes in
/// `png`; the reason on failure. Starts Qt's graphics on the offscreen
/// platform first when the program has not started them (they then stay to
/// the program's end and keep Qt's own notes to themselves), so the first
/// call belongs on the main thread.
std::optional<std::string> svgToPng(const std::string& svg, std::string& png);
