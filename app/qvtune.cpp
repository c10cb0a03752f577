// The program: one window, the message loop until it closes.
#include <QApplication>

#include "app/Main.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qv::Main = new qv::TMain;
  qv::Main->show();
  const int status = app.exec();
  delete qv::Main;
  return status;
}
