#include "ui/InputBoxes.hpp"

#include <QAction>
#include <QIcon>
#include <QLocale>
#include <QStringList>
#include <QStyle>

#include "compute/curves/number_format.hpp"
#include "ui/LocaleFormat.hpp"

InputBoxes::InputBoxes(const std::array<QLineEdit*, count>& boxes, QObject* parent)
    : QObject(parent), boxes_(boxes) {
  for (int i = 0; i < count; ++i) {
    QLineEdit* edit = boxes_[static_cast<std::size_t>(i)];
    const QIcon warningIcon = edit->style()->standardIcon(QStyle::SP_MessageBoxWarning);
    QAction* mark = edit->addAction(warningIcon, QLineEdit::TrailingPosition);
    mark->setVisible(false);
    state_[static_cast<std::size_t>(i)].mark = mark;
    connect(edit, &QLineEdit::textChanged, this, [this, i] { checkMisread(i); });
  }
}

void InputBoxes::fill(const veltrane::element_data& element) {
  const QString decimal = QLocale().decimalPoint();
  for (int i = 0; i < count; ++i) {
    State& state = state_[static_cast<std::size_t>(i)];
    QLineEdit* edit = boxes_[static_cast<std::size_t>(i)];
    if (!edit->text().isEmpty() && edit->text() != state.filled) continue;
    const veltrane::tabulated_value& v =
        i == 0 ? element.work_function : element.energies[static_cast<std::size_t>(i) - 1];
    // The table's text as written, with this locale's decimal separator.
    QString text = v.value ? QString::fromStdString(v.text) : QString();
    text.replace('.', decimal);
    state.filled = text;
    state.source = QString::fromStdString(veltrane::source_note(element, i));
    edit->setText(text);
    updateToolTip(i);
  }
}

void InputBoxes::showReadValues(const veltrane::calc_request& request) {
  const auto format = numberFormatFor(QLocale());
  auto show = [&](int index, double value) {
    state_[static_cast<std::size_t>(index)].readAs =
        QStringLiteral("Read as %1 eV")
            .arg(QString::fromStdString(veltrane::localised_text(value, format)));
    updateToolTip(index);
  };
  show(0, request.work_function_ev);
  for (std::size_t i = 0; i < request.energies_ev.size(); ++i) {
    show(static_cast<int>(i) + 1, request.energies_ev[i]);
  }
}

bool InputBoxes::hasMisreadMark(int index) const {
  return state_[static_cast<std::size_t>(index)].mark->isVisible();
}

void InputBoxes::checkMisread(int index) {
  State& state = state_[static_cast<std::size_t>(index)];
  const QLineEdit* edit = boxes_[static_cast<std::size_t>(index)];
  const auto warning =
      veltrane::misread_warning(edit->text().toStdString(), numberFormatFor(QLocale()));
  state.warning = warning ? QString::fromStdString(*warning) : QString();
  state.mark->setVisible(!state.warning.isEmpty());
  state.mark->setToolTip(state.warning);
  if (edit->text() != state.filled) state.source.clear();
  state.readAs.clear();  // the text changed: what it was read as no longer holds
  updateToolTip(index);
}

void InputBoxes::updateToolTip(int index) {
  const State& state = state_[static_cast<std::size_t>(index)];
  QStringList parts;
  if (!state.warning.isEmpty()) parts << state.warning;
  if (!state.readAs.isEmpty()) parts << state.readAs;
  if (!state.source.isEmpty()) parts << state.source;
  boxes_[static_cast<std::size_t>(index)]->setToolTip(parts.join('\n'));
}
