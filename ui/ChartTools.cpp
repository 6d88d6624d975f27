#include "ui/ChartTools.hpp"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineSeries>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QToolTip>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/ImageExport.hpp"

namespace {

// Ticks of a value axis at least this far apart, in pixels.
constexpr double horizontalTickPixels = 80.0;
constexpr double verticalTickPixels = 40.0;

// The decimals that write every multiple of `step` exactly (0.25: 2).
int decimalsOf(double step) {
  int decimals = 0;
  double scaled = step;
  while (decimals < 9 && std::fabs(scaled - std::round(scaled)) > 1e-6 * scaled) {
    scaled *= 10.0;
    ++decimals;
  }
  return decimals;
}

// Round ticks of `axis` for its present range and the plot's present size.
void roundTicks(QValueAxis* axis, const QChart* chart) {
  const double span = axis->max() - axis->min();
  if (!(span > 0.0) || !std::isfinite(span)) return;
  const bool horizontal = axis->orientation() == Qt::Horizontal;
  const QRectF plot = chart->plotArea();
  const double step =
      ChartTools::roundTickStep(axis->min(), axis->max(), horizontal ? plot.width() : plot.height(),
                                horizontal ? horizontalTickPixels : verticalTickPixels);
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0.0);
  axis->setTickInterval(step);
  axis->setMinorTickCount(0);
  axis->setLabelFormat(QStringLiteral("%.%1f").arg(decimalsOf(step)));
}

}  // namespace

double ChartTools::roundTickStep(double span, double pixels, double minimumPixels) {
  // Without a size yet, about six ticks; never more than twenty.
  const double ticks = pixels > 0.0 ? std::clamp(pixels / minimumPixels, 2.0, 20.0) : 6.0;
  const double least = span / ticks;
  const double decade = std::pow(10.0, std::floor(std::log10(least)));
  for (const double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (m * decade >= least * (1.0 - 1e-9)) return m * decade;
  }
  return 10.0 * decade;
}

double ChartTools::roundTickStep(double min, double max, double pixels, double minimumPixels) {
  const double least = roundTickStep(max - min, pixels, minimumPixels);
  // A step up to two sizes larger that has ticks on both ends is taken
  // instead (-1.5 to 0 by 0.25 rather than by 0.2).
  const auto onTick = [](double v, double step) {
    return std::fabs(v / step - std::round(v / step)) < 1e-9 * std::max(1.0, std::fabs(v / step));
  };
  double step = least;
  for (int i = 0; i < 3; ++i) {
    if (onTick(min, step) && onTick(max, step)) return step;
    const double decade = std::pow(10.0, std::floor(std::log10(step) + 1e-12));
    const double m = step / decade;
    step = (m < 1.5 ? 2.0 : m < 2.25 ? 2.5 : m < 3.5 ? 5.0 : 10.0) * decade;
  }
  return least;
}

void ChartTools::keepTicksRound(QValueAxis* axis, QChart* chart) {
  chart->setLocalizeNumbers(true);
  const QPointer<QChart> owner(chart);
  // On the change of either end, before the chart lays the axis out anew
  // (it does so on the range's change, after both ends): the ticks of the
  // old step over a far wider range would be countless.
  const auto update = [axis, owner] {
    if (owner) roundTicks(axis, owner);
  };
  connect(axis, &QValueAxis::minChanged, axis, update);
  connect(axis, &QValueAxis::maxChanged, axis, update);
  // A new plot size changes the ticks only when it changes by a tenth: the
  // labels of new ticks may change the plot's size a little in turn.
  connect(chart, &QChart::plotAreaChanged, axis, [axis, owner](const QRectF& plot) {
    const double pixels = axis->orientation() == Qt::Horizontal ? plot.width() : plot.height();
    const double before = axis->property("tickPixels").toDouble();
    if (!owner || std::fabs(pixels - before) <= 0.1 * before) return;
    axis->setProperty("tickPixels", pixels);
    roundTicks(axis, owner);
  });
  roundTicks(axis, chart);
}

ChartTools::ChartTools(QChartView* view, std::function<QString()> fileStem, QString quantity)
    : QObject(view), view_(view), fileStem_(std::move(fileStem)), quantity_(std::move(quantity)) {
  setObjectName("chartTools");
  menu_ = new QMenu(view);
  menu_->setObjectName("chartMenu");
  menu_->addAction(QString::fromUtf8("Save as\u2026"), this, &ChartTools::saveAsWithDialog);
  menu_->addAction(QStringLiteral("Copy image"), this, &ChartTools::copyImage);
  menu_->addAction(QStringLiteral("Reset zoom"), QKeySequence(Qt::Key_Escape), this,
                   &ChartTools::resetZoom);
  setZoomDirections(zoom_);
  viewport_ = view->viewport();
  viewport_->setMouseTracking(true);
  viewport_->installEventFilter(this);
  view->installEventFilter(this);
  for (QAbstractAxis* axis : view->chart()->axes()) {
    if (auto* value = qobject_cast<QValueAxis*>(axis)) keepTicksRound(value, view->chart());
  }
}

void ChartTools::setZoomDirections(Qt::Orientations directions) {
  zoom_ = directions;
  if (directions == (Qt::Horizontal | Qt::Vertical)) {
    view_->setRubberBand(QChartView::RectangleRubberBand);
  } else if (directions == Qt::Horizontal) {
    view_->setRubberBand(QChartView::HorizontalRubberBand);
  } else if (directions == Qt::Vertical) {
    view_->setRubberBand(QChartView::VerticalRubberBand);
  } else {
    view_->setRubberBand(QChartView::NoRubberBand);
  }
}

QString ChartTools::title() const {
  if (title_) return title_();
  if (!view_->chart()->title().isEmpty()) return view_->chart()->title();
  return QStringLiteral("Veltrane: %1").arg(fileStem_ ? fileStem_() : QString());
}

QString ChartTools::saveAs(const QString& fileName) {
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  QString error;
  if (suffix == "svg") {
    error = saveBytes(renderSvg(view_, title()), fileName);
  } else if (suffix == "pdf") {
    error = saveBytes(renderPdf(view_, title()), fileName);
  } else {
    error = savePng(renderImage(view_), fileName);
  }
  if (!error.isEmpty()) {
    error = saveFailure(fileName, error);
    QMessageBox box(QMessageBox::NoIcon, QString(), error, QMessageBox::Ok, view_->window());
    box.exec();
    return error;
  }
  emit saved(QFileInfo(fileName).absoluteFilePath());
  return error;
}

QString ChartTools::saveAsWithDialog() {
  const QString stem = fileStem_ ? fileStem_() : QString();
  QString name = askSaveFile(view_->window(), stem + ".png", QString::fromLatin1(figureFilters));
  if (name.isEmpty() || !saveAs(name).isEmpty()) return QString();
  return name;
}

void ChartTools::copyImage() { QApplication::clipboard()->setImage(renderImage(view_)); }

void ChartTools::resetZoom() { view_->chart()->zoomReset(); }

QString ChartTools::hoverText(const QPoint& position) const {
  if (!hover_) return nearestPointText(position);
  QChart* chart = view_->chart();
  const QPointF at = chart->mapFromScene(view_->mapToScene(position));
  if (!chart->plotArea().contains(at) || chart->series().isEmpty()) return QString();
  return hover_(chart->mapToValue(at), position);
}

QString ChartTools::nearestPointText(const QPoint& position) const {
  const QPointF scene = view_->mapToScene(position);
  double best = 12.0 * 12.0;
  QString text;
  for (QAbstractSeries* abstract : view_->chart()->series()) {
    auto* series = qobject_cast<QLineSeries*>(abstract);
    if (series == nullptr || !series->isVisible() || series->objectName() == "marker") continue;
    // Segments after a gap carry no name: the name is that of the first
    // series with the same pen.
    QString name = series->name();
    if (name.isEmpty()) {
      for (QAbstractSeries* other : view_->chart()->series()) {
        auto* line = qobject_cast<QLineSeries*>(other);
        if (line != nullptr && !line->name().isEmpty() && line->pen() == series->pen()) {
          name = line->name();
          break;
        }
      }
    }
    for (const QPointF& p : series->points()) {
      const QPointF at = view_->chart()->mapToPosition(p, series);
      const double dx = at.x() - scene.x(), dy = at.y() - scene.y();
      if (dx * dx + dy * dy < best) {
        best = dx * dx + dy * dy;
        const QLocale locale;
        text = QStringLiteral("%1\nE = %2 V/nm\nlog10 %3 = %4\n%3 = %5")
                   .arg(name, locale.toString(p.x(), 'g', 6), quantity_,
                        p.y() <= -1000.0 ? QStringLiteral("-inf") : locale.toString(p.y(), 'g', 6),
                        locale.toString(std::pow(10.0, p.y()), 'g', 6));
      }
    }
  }
  return text;
}

// Zooms by a fifth per notch of the wheel (out when turned back), about the
// point under the mouse, in the directions zoom is allowed.
void ChartTools::wheelZoom(const QPointF& scenePosition, double steps) {
  QChart* chart = view_->chart();
  const QPointF at = chart->mapFromScene(scenePosition);
  const QRectF plot = chart->plotArea();
  if (!plot.contains(at) || steps == 0.0) return;
  const double factor = std::pow(0.8, steps);
  QRectF zoomed = plot;
  if (zoom_ & Qt::Horizontal) {
    zoomed.setLeft(at.x() - (at.x() - plot.left()) * factor);
    zoomed.setWidth(plot.width() * factor);
  }
  if (zoom_ & Qt::Vertical) {
    zoomed.setTop(at.y() - (at.y() - plot.top()) * factor);
    zoomed.setHeight(plot.height() * factor);
  }
  chart->zoomIn(zoomed);
}

bool ChartTools::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    resetZoom();
    return true;
  }
  // The viewport as it was when installed: while the view is being
  // destroyed, its events still come here and the view must not be asked.
  if (watched != viewport_) return QObject::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
      // The right button opens the menu; the view would zoom out on it.
      if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
      break;
    case QEvent::ToolTip: {
      // The chart's scene would hide the read-out, having no tooltip of its
      // own there.
      const auto* help = static_cast<QHelpEvent*>(event);
      const QString text = hoverText(help->pos());
      if (text.isEmpty()) break;
      QToolTip::showText(help->globalPos(), text, viewport_);
      return true;
    }
    case QEvent::ContextMenu:
      menu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
      return true;
    case QEvent::Wheel: {
      if (zoom_ == Qt::Orientations()) break;
      const auto* wheel = static_cast<QWheelEvent*>(event);
      wheelZoom(view_->mapToScene(wheel->position().toPoint()), wheel->angleDelta().y() / 120.0);
      return true;
    }
    case QEvent::MouseMove: {
      const auto* move = static_cast<QMouseEvent*>(event);
      if (move->buttons() == Qt::NoButton) {
        const QString text = hoverText(move->position().toPoint());
        if (text.isEmpty()) {
          QToolTip::hideText();
        } else {
          QToolTip::showText(move->globalPosition().toPoint(), text, viewport_);
        }
      }
      break;
    }
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}
