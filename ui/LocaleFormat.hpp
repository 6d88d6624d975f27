#pragma once

// Numbers as the user's locale writes them, for every window's input boxes.

#include <QLocale>

#include "compute/curves/number_format.hpp"

/// The number format of a locale for the input boxes: its decimal and group
/// separators; the words for not-a-number and the infinities are "NaN",
/// "Infinity" and "-Infinity" (Qt knows no words of the locale for them).
veltrane::number_format numberFormatFor(const QLocale& locale);
