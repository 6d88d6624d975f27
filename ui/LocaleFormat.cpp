#include "ui/LocaleFormat.hpp"

#include <algorithm>

veltrane::number_format numberFormatFor(const QLocale& locale) {
  veltrane::number_format f;
  f.decimal_separator = locale.decimalPoint().toStdString();
  f.group_separator = locale.groupSeparator().toStdString();
  return f;
}

QString countText(double count) {
  return QLocale().toString(static_cast<qulonglong>(std::max(0.0, count)));
}

QString fieldText(double E) { return QLocale().toString(E, 'f', 2); }

veltrane::answer_numbers answerNumbersFor(const QLocale& locale) {
  veltrane::answer_numbers n;
  n.field = [locale](double v) { return locale.toString(v, 'f', 2).toStdString(); };
  n.number = [locale](double v) { return locale.toString(v, 'g', 6).toStdString(); };
  n.count = [locale](double v) {
    return locale.toString(static_cast<qulonglong>(std::max(0.0, v))).toStdString();
  };
  n.shift = [locale](double v) {
    const QString text = locale.toString(v, 'f', 3);
    return (v >= 0.0 ? "+" + text : text).toStdString();
  };
  return n;
}
