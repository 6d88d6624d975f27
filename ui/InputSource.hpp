#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "compute/curves/evaluation.hpp"
#include "compute/curves/request.hpp"

/// What a window that follows another window's inputs takes from it (the
/// charge-state and dataset windows from the main form): the inputs read and
/// checked as Calculate reads them, the element list, the evaluation of the
/// model, and the news that any of them changed. Those windows know this
/// interface only, never the main form.
class InputSource : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  /// The inputs read and checked as Calculate reads them; nothing when they
  /// are bad, the message then in `message`.
  virtual std::optional<veltrane::calc_request> readRequest(QString& message) const = 0;
  /// The element list, in its order, and the element chosen (empty: none).
  virtual QStringList elements() const = 0;
  virtual QString element() const = 0;
  /// The number of ionisations n chosen (1 to 4), whatever the other inputs
  /// hold.
  virtual int ionisations() const = 0;
  /// Takes `name` as the chosen element, with its built-in values.
  virtual void selectElement(const QString& name) = 0;
  /// The evaluation of the model for charge states and datasets, taken anew
  /// at the start of each run and held by it; the worker threads (0: all
  /// cores); how long a run goes before a progress dialog shows (ms).
  virtual veltrane::charge_state_model evaluation() const = 0;
  virtual unsigned threads() const = 0;
  virtual int progressDelayMs() const = 0;

 signals:
  /// An input of the request changed: the element, n, a box.
  void inputsChanged();
  /// The element chosen changed (empty: none).
  void elementChanged(const QString& name);
  /// The evaluation changed: what was computed with the old one is stale.
  void evaluationChanged();
};
