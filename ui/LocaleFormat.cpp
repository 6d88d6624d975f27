#include "ui/LocaleFormat.hpp"

veltrane::number_format numberFormatFor(const QLocale& locale) {
  veltrane::number_format f;
  f.decimal_separator = locale.decimalPoint().toStdString();
  f.group_separator = locale.groupSeparator().toStdString();
  return f;
}
