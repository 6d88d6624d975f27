#include "ui/ChartInteraction.hpp"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QToolTip>
#include <QWheelEvent>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <cmath>

#include "ui/FigureExport.hpp"
#include "ui/ImageExport.hpp"

namespace {

// One notch of the wheel zooms by this factor.
constexpr double wheelZoom = 0.8;

}  // namespace

ChartInteraction::ChartInteraction(QChartView* view, std::function<QStringList()> title,
                                   std::function<QString()> proposedName,
                                   std::function<QString(const QPointF&)> hover)
    : QObject(view),
      view_(view),
      title_(std::move(title)),
      proposedName_(std::move(proposedName)),
      hover_(std::move(hover)) {
  menu_ = new QMenu(view);
  menu_->setObjectName("chartMenu");
  menu_->addAction(QString::fromUtf8("Save as\u2026"), this, &ChartInteraction::saveAsWithDialog);
  menu_->addAction(QStringLiteral("Copy image"), this, &ChartInteraction::copyImage);
  menu_->addAction(QStringLiteral("Reset zoom"), QKeySequence(Qt::Key_Escape), this,
                   &ChartInteraction::resetZoom);
  view->setRubberBand(QChartView::RectangleRubberBand);
  view->setFocusPolicy(Qt::StrongFocus);
  viewport_ = view->viewport();
  viewport_->setMouseTracking(true);
  viewport_->installEventFilter(this);
  view->installEventFilter(this);
}

QString ChartInteraction::saveAs(const QString& fileName) {
  const QString error = saveFigure(chartFigure(view_, title_ ? title_() : QStringList()), fileName);
  if (!error.isEmpty()) {
    QString message = saveFailure(fileName, error);
    emit saveFailed(message);
    return message;
  }
  emit saved(QFileInfo(fileName).absoluteFilePath());
  return {};
}

void ChartInteraction::saveAsWithDialog() {
  const QString proposed = proposedName_ ? proposedName_() : QStringLiteral("chart.png");
  const QString name = chooseFile ? chooseFile(proposed) : QString();
  if (!name.isEmpty()) saveAs(name);
}

void ChartInteraction::copyImage() {
  QApplication::clipboard()->setImage(
      figureImage(chartFigure(view_, title_ ? title_() : QStringList())));
}

void ChartInteraction::resetZoom() { view_->chart()->zoomReset(); }

void ChartInteraction::zoomX(double factor, const QPointF& at) {
  QChart* chart = view_->chart();
  const QRectF plot = chart->plotArea();
  const double x = chart->mapFromScene(view_->mapToScene(at.toPoint())).x();
  if (!(factor > 0.0) || x < plot.left() || x > plot.right()) return;
  const double left = x - (x - plot.left()) * factor;
  chart->zoomIn(QRectF(left, plot.top(), plot.width() * factor, plot.height()));
}

QString ChartInteraction::hoverText(const QPoint& position) const {
  QChart* chart = view_->chart();
  if (chart == nullptr || !hover_) return {};
  const QPointF at = chart->mapFromScene(view_->mapToScene(position));
  if (!chart->plotArea().contains(at) || chart->series().isEmpty()) return {};
  return hover_(chart->mapToValue(at, chart->series().front()));
}

bool ChartInteraction::eventFilter(QObject* watched, QEvent* event) {
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
      if (event->type() == QEvent::MouseButtonPress) view_->setFocus(Qt::MouseFocusReason);
      break;
    case QEvent::ContextMenu:
      menu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
      return true;
    case QEvent::Wheel: {
      const auto* wheel = static_cast<QWheelEvent*>(event);
      const int steps = wheel->angleDelta().y() / 120;
      if (steps != 0) zoomX(std::pow(wheelZoom, steps), wheel->position());
      return true;
    }
    case QEvent::MouseMove: {
      const auto* move = static_cast<QMouseEvent*>(event);
      if (move->buttons() == Qt::NoButton) {
        lastHover_ = hoverText(move->position().toPoint());
        if (lastHover_.isEmpty()) {
          QToolTip::hideText();
        } else {
          QToolTip::showText(move->globalPosition().toPoint(), lastHover_, viewport_);
        }
      }
      break;
    }
    case QEvent::Leave:
      lastHover_.clear();
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}
