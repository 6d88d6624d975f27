#include "ui/ChartTools.hpp"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineSeries>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QToolTip>
#include <QValueAxis>
#include <cmath>
#include <limits>

#include "ui/ImageExport.hpp"

std::function<QString(QWidget*, const QString&)> ChartTools::fileChooser =
    [](QWidget* parent, const QString& proposed) {
      QString filter;
      QString name = QFileDialog::getSaveFileName(
          parent, QStringLiteral("Save the chart as"), proposed,
          QStringLiteral("PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)"), &filter);
      if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) {
        name += filter.contains("svg") ? ".svg" : filter.contains("pdf") ? ".pdf" : ".png";
      }
      return name;
    };

ChartTools::ChartTools(QChartView* view, std::function<QString()> fileStem, QString quantity)
    : QObject(view), view_(view), fileStem_(std::move(fileStem)), quantity_(std::move(quantity)) {
  setObjectName("chartTools");
  menu_ = new QMenu(view);
  menu_->setObjectName("chartMenu");
  menu_->addAction(QString::fromUtf8("Save as\u2026"), this, &ChartTools::saveAsWithDialog);
  menu_->addAction(QStringLiteral("Copy image"), this, &ChartTools::copyImage);
  menu_->addAction(QStringLiteral("Reset zoom"), QKeySequence(Qt::Key_Escape), this,
                   &ChartTools::resetZoom);
  view->setRubberBand(QChartView::RectangleRubberBand);
  viewport_ = view->viewport();
  viewport_->setMouseTracking(true);
  viewport_->installEventFilter(this);
  view->installEventFilter(this);
}

QString ChartTools::saveAs(const QString& fileName) {
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  const QString title = QStringLiteral("Veltrane: %1").arg(fileStem_ ? fileStem_() : QString());
  QString error;
  if (suffix == "svg") {
    error = saveBytes(renderSvg(view_, title), fileName);
  } else if (suffix == "pdf") {
    error = saveBytes(renderPdf(view_, title), fileName);
  } else {
    error = savePng(renderImage(view_), fileName);
  }
  if (!error.isEmpty()) {
    error = saveFailure(fileName, error);
    QMessageBox box(QMessageBox::NoIcon, QString(), error, QMessageBox::Ok, view_->window());
    box.exec();
  }
  return error;
}

void ChartTools::saveAsWithDialog() {
  const QString stem = fileStem_ ? fileStem_() : QString();
  const QString name = fileChooser ? fileChooser(view_->window(), stem + ".png") : QString();
  if (!name.isEmpty()) saveAs(name);
}

void ChartTools::copyImage() { QApplication::clipboard()->setImage(renderImage(view_)); }

void ChartTools::resetZoom() { view_->chart()->zoomReset(); }

QString ChartTools::hoverText(const QPoint& position) const {
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
    case QEvent::ContextMenu:
      menu_->popup(static_cast<QContextMenuEvent*>(event)->globalPos());
      return true;
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
