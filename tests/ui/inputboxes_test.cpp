#include "ui/InputBoxes.hpp"

#include <QLocale>
#include <QWidget>
#include <QtTest>
#include <memory>

#include "compute/curves/element_data.hpp"

namespace {

// Six boxes on one widget, watched as a window watches them.
struct Boxes {
  QWidget window;
  std::array<QLineEdit*, InputBoxes::count> edits{};
  std::unique_ptr<InputBoxes> boxes;
  Boxes() {
    for (auto& edit : edits) edit = new QLineEdit(&window);
    boxes = std::make_unique<InputBoxes>(edits, nullptr);
  }
};

const veltrane::element_data& element(const char* name) {
  const veltrane::element_data* data = veltrane::find_element_data(name);
  if (data == nullptr) qFatal("no element data for %s", name);
  return *data;
}

}  // namespace

class InputBoxesTest : public QObject {
  Q_OBJECT

 private slots:
  // Every test starts from the C locale, whatever the machine's is.
  void init() { QLocale::setDefault(QLocale::c()); }
  void cleanup() { QLocale::setDefault(QLocale::c()); }

  // The table's texts, as written, with the locale's decimal separator; a
  // value the element does not have leaves its box empty.
  void fillsTheTablesTextInTheLocale() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Boxes b;
    b.boxes->fill(element("Tungsten"));
    QCOMPARE(b.edits[0]->text(), QString("4,55"));
    QCOMPARE(b.edits[1]->text(), QString("7,86403"));
    QCOMPARE(b.edits[3]->text(), QString("26,0"));
    QVERIFY(b.edits[2]->toolTip().contains("semi-empirical"));
    b.boxes->fill(element("Beryllium"));
    QCOMPARE(b.edits[0]->text(), QString("4,98"));
    QCOMPARE(b.edits[5]->text(), QString());
    for (int i = 0; i < InputBoxes::count; ++i) QVERIFY(!b.boxes->hasMisreadMark(i));
  }

  // What the user typed is never overwritten by the next element, and its
  // source note goes once the text is no longer the table's.
  void aTypedBoxKeepsItsText() {
    Boxes b;
    b.boxes->fill(element("Tungsten"));
    b.edits[0]->setText("4.5");
    QVERIFY(!b.edits[0]->toolTip().contains("Michaelson"));
    b.boxes->fill(element("Beryllium"));
    QCOMPARE(b.edits[0]->text(), QString("4.5"));
    QCOMPARE(b.edits[1]->text(), QString("9.322699"));
    QVERIFY(b.edits[1]->toolTip().contains("NIST"));
    // Emptied, a box takes the table's value again.
    b.edits[0]->clear();
    b.boxes->fill(element("Tungsten"));
    QCOMPARE(b.edits[0]->text(), QString("4.55"));
  }

  // The user's own value carries a mark while the element has another one,
  // in the locale's numbers; the mark's click brings the element's back.
  void userValuesAreMarked() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Boxes b;
    b.edits[0]->setText("5,1");  // before any element: nothing to go back to
    QVERIFY(!b.boxes->hasUserMark(0));
    b.boxes->fill(element("Beryllium"));
    QCOMPARE(b.edits[0]->text(), QString("5,1"));
    QVERIFY(b.boxes->hasUserMark(0));
    QVERIFY(b.edits[0]->toolTip().contains("Beryllium has 4,98 eV"));
    for (int i = 1; i < InputBoxes::count; ++i) QVERIFY(!b.boxes->hasUserMark(i));
    // A box Beryllium has no value for is never the user's against it.
    b.edits[5]->setText("300");
    QVERIFY(!b.boxes->hasUserMark(5));
    // The same number written otherwise is the element's.
    b.edits[0]->setText("4,980");
    QVERIFY(!b.boxes->hasUserMark(0));
    b.edits[0]->setText("abc");
    QVERIFY(b.boxes->hasUserMark(0));
    b.boxes->restoreBuiltIn(0);
    QCOMPARE(b.edits[0]->text(), QString("4,98"));
    QVERIFY(!b.boxes->hasUserMark(0));
    QVERIFY(b.edits[0]->toolTip().contains("CRC"));
    // Back to the table's value, the box follows the next element again.
    b.boxes->fill(element("Tungsten"));
    QCOMPARE(b.edits[0]->text(), QString("4,55"));
  }

  // "7.864" under a German locale reads as 7864: the box says so, and what
  // the calculation read shows until the text changes.
  void misreadMarkAndReadValues() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Boxes b;
    b.edits[1]->setText("7.864");
    QVERIFY(b.boxes->hasMisreadMark(1));
    QVERIFY(b.edits[1]->toolTip().startsWith("Read as 7864."));
    b.edits[1]->setText("7,864");
    QVERIFY(!b.boxes->hasMisreadMark(1));
    QCOMPARE(b.edits[1]->toolTip(), QString());

    veltrane::calc_request request;
    request.work_function_ev = 4.5;
    request.energies_ev = {7.864, 16.37};
    b.boxes->showReadValues(request);
    QCOMPARE(b.edits[0]->toolTip(), QString("Read as 4,5 eV"));
    QCOMPARE(b.edits[2]->toolTip(), QString("Read as 16,37 eV"));
    b.edits[2]->setText("16,4");
    QCOMPARE(b.edits[2]->toolTip(), QString());
  }
};

QTEST_MAIN(InputBoxesTest)
#include "inputboxes_test.moc"
