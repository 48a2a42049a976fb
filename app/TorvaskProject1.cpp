// Entry point of the program.
#include <QApplication>

#include "app/TorvaskUnit1.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  SetUpApplication();
  TForm1 Form1;
  Form1.show();
  return QApplication::exec();
}
