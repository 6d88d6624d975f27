#pragma once

// The six input boxes of a calculation (work function, I1 .. I5) beyond their
// text: the values filled in from the element data, the note of their source,
// the number each was last read as, a mark on a text this locale may misread,
// and a mark on the user's own value where the element has another one, with
// a click back to the element's.

#include <QLineEdit>
#include <QObject>
#include <QString>
#include <array>

#include "compute/curves/element_data.hpp"
#include "compute/curves/request.hpp"

class QAction;

class InputBoxes : public QObject {
  Q_OBJECT

 public:
  static constexpr int count = 6;

  /// Watches the boxes from now on; they stay owned by their window.
  InputBoxes(const std::array<QLineEdit*, count>& boxes, QObject* parent);

  /// The element's tabulated values with this locale's decimal separator, in
  /// every box that is empty or still holds what was last filled in: a box
  /// the user typed into keeps its text, and is marked as the user's value
  /// while it differs from the element's.
  void fill(const veltrane::element_data& element);
  /// Adds "Read as …" to each box's tooltip after a calculation read them.
  void showReadValues(const veltrane::calc_request& request);
  bool hasMisreadMark(int index) const;
  /// Whether the box holds the user's own value where the element chosen has
  /// another one: the mark (object name "userValueMark") shows it, and a
  /// click on it puts the element's value back (restoreBuiltIn).
  bool hasUserMark(int index) const;
  void restoreBuiltIn(int index);

 private:
  struct State {
    QString filled;   // the text last filled in
    QString builtIn;  // the element's value as it would be filled in; empty: none
    QString element;
    QString source;
    QString builtInSource;
    QString readAs;
    QString warning;
    QAction* mark = nullptr;
    QAction* userMark = nullptr;
  };
  void textChanged(int index);
  void updateUserMark(int index);
  void updateToolTip(int index);

  std::array<QLineEdit*, count> boxes_;
  std::array<State, count> state_;
};
