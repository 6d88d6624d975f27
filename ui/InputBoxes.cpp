#include "ui/InputBoxes.hpp"

#include <QAction>
#include <QIcon>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QStringList>
#include <QStyle>

#include "compute/curves/number_format.hpp"
#include "ui/LocaleFormat.hpp"

namespace {

// The mark of a user's value: an arrow turning back, in the link colour, that
// puts the element's value back when clicked.
QIcon userValueIcon(const QLineEdit* edit) {
  const qreal scale = edit->devicePixelRatioF();
  QPixmap pixmap(QSize(16, 16) * scale);
  pixmap.setDevicePixelRatio(scale);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(edit->palette().color(QPalette::Link), 1.8);
  pen.setCapStyle(Qt::RoundCap);
  painter.setPen(pen);
  painter.drawArc(QRectF(3, 3, 10, 10), 90 * 16, 270 * 16);
  painter.setBrush(pen.color());
  painter.setPen(Qt::NoPen);
  painter.drawPolygon(QPolygonF({QPointF(5.5, 0.8), QPointF(9.8, 3.0), QPointF(5.5, 5.6)}));
  return QIcon(pixmap);
}

}  // namespace

InputBoxes::InputBoxes(const std::array<QLineEdit*, count>& boxes, QObject* parent)
    : QObject(parent), boxes_(boxes) {
  for (int i = 0; i < count; ++i) {
    QLineEdit* edit = boxes_[static_cast<std::size_t>(i)];
    State& state = state_[static_cast<std::size_t>(i)];
    const QIcon warningIcon = edit->style()->standardIcon(QStyle::SP_MessageBoxWarning);
    state.mark = edit->addAction(warningIcon, QLineEdit::TrailingPosition);
    state.mark->setObjectName("misreadMark");
    state.mark->setVisible(false);
    state.userMark = edit->addAction(userValueIcon(edit), QLineEdit::TrailingPosition);
    state.userMark->setObjectName("userValueMark");
    state.userMark->setVisible(false);
    connect(state.userMark, &QAction::triggered, this, [this, i] { restoreBuiltIn(i); });
    connect(edit, &QLineEdit::textChanged, this, [this, i] { textChanged(i); });
  }
}

void InputBoxes::fill(const veltrane::element_data& element) {
  const QString decimal = QLocale().decimalPoint();
  for (int i = 0; i < count; ++i) {
    State& state = state_[static_cast<std::size_t>(i)];
    QLineEdit* edit = boxes_[static_cast<std::size_t>(i)];
    const veltrane::tabulated_value& v =
        i == 0 ? element.work_function : element.energies[static_cast<std::size_t>(i) - 1];
    // The table's text as written, with this locale's decimal separator.
    QString text = v.value ? QString::fromStdString(v.text) : QString();
    text.replace('.', decimal);
    state.builtIn = text;
    state.element = QString::fromStdString(element.name);
    state.builtInSource = QString::fromStdString(veltrane::source_note(element, i));
    if (!edit->text().isEmpty() && edit->text() != state.filled) {
      updateUserMark(i);  // the user's text stays
      updateToolTip(i);
      continue;
    }
    state.filled = text;
    state.source = state.builtInSource;
    edit->setText(text);
    updateUserMark(i);
    updateToolTip(i);
  }
}

void InputBoxes::restoreBuiltIn(int index) {
  State& state = state_[static_cast<std::size_t>(index)];
  if (state.builtIn.isEmpty()) return;
  state.filled = state.builtIn;
  state.source = state.builtInSource;
  boxes_[static_cast<std::size_t>(index)]->setText(state.builtIn);
  updateUserMark(index);
  updateToolTip(index);
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

bool InputBoxes::hasUserMark(int index) const {
  return state_[static_cast<std::size_t>(index)].userMark->isVisible();
}

void InputBoxes::textChanged(int index) {
  State& state = state_[static_cast<std::size_t>(index)];
  const QLineEdit* edit = boxes_[static_cast<std::size_t>(index)];
  const auto warning =
      veltrane::misread_warning(edit->text().toStdString(), numberFormatFor(QLocale()));
  state.warning = warning ? QString::fromStdString(*warning) : QString();
  state.mark->setVisible(!state.warning.isEmpty());
  state.mark->setToolTip(state.warning);
  if (edit->text() != state.filled) state.source.clear();
  state.readAs.clear();  // the text changed: what it was read as no longer holds
  updateUserMark(index);
  updateToolTip(index);
}

// A box holds the user's value when its text reads as another number than
// the element's value (a text that is no number counts as another).
void InputBoxes::updateUserMark(int index) {
  State& state = state_[static_cast<std::size_t>(index)];
  const QString text = boxes_[static_cast<std::size_t>(index)]->text();
  bool users = !state.builtIn.isEmpty() && !text.trimmed().isEmpty() && text != state.builtIn;
  if (users) {
    const auto format = numberFormatFor(QLocale());
    const auto typed = veltrane::parse_number(text.toStdString(), format);
    const auto builtIn = veltrane::parse_number(state.builtIn.toStdString(), format);
    users = !(typed && builtIn && *typed == *builtIn);
  }
  state.userMark->setVisible(users);
  state.userMark->setToolTip(
      users ? QStringLiteral("Your value. Click to use the built-in value of %1, %2 eV.")
                  .arg(state.element, state.builtIn)
            : QString());
}

void InputBoxes::updateToolTip(int index) {
  const State& state = state_[static_cast<std::size_t>(index)];
  QStringList parts;
  if (!state.warning.isEmpty()) parts << state.warning;
  if (state.userMark->isVisible()) {
    parts << QStringLiteral(
                 "Your value, kept when the element changes; %1 has %2 eV (click the "
                 "arrow to use it).")
                 .arg(state.element, state.builtIn);
  }
  if (!state.readAs.isEmpty()) parts << state.readAs;
  if (!state.source.isEmpty()) parts << state.source;
  boxes_[static_cast<std::size_t>(index)]->setToolTip(parts.join('\n'));
}
