#pragma once

// Numbers as the user's locale writes them: for every window's input boxes,
// and for the words of the answers compute/ builds.

#include <QLocale>
#include <QString>

#include "compute/curves/number_format.hpp"

/// The number format of a locale for the input boxes: its decimal and group
/// separators; the words for not-a-number and the infinities are "NaN",
/// "Infinity" and "-Infinity" (Qt knows no words of the locale for them).
veltrane::number_format numberFormatFor(const QLocale& locale);

/// How a window writes the numbers of an answer in `locale`: a field with two
/// decimals ("34,36"), a ratio or a percentage to six significant digits, a
/// number of ions grouped ("105.979"), a shift with its sign and three
/// decimals ("+0,012").
veltrane::answer_numbers answerNumbersFor(const QLocale& locale);

/// A number of ions as answerNumbersFor writes it: grouped by the locale.
QString countText(double count);

/// A field as the windows show it: two decimals, the locale's separator.
QString fieldText(double E);
