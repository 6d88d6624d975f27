#include <QApplication>

#include "ui/MyForm.hpp"

// The program: the form, until it is closed. The form is gone before the
// application object, so that its windows never outlive it.
int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  {
    MyForm form;
    form.show();
    app.exec();
  }
  return 0;
}
