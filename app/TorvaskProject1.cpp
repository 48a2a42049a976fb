// Entry point of the program.
#include <QApplication>

#include "app/TorvaskUnit1.h"
#include "twain/TwainUtils.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  SetUpApplication();
  TForm1 Form1;
  Form1.show();
  // `lumivane photo.jpg`, as a desktop's file manager starts it.
  OpenCommandLineFile(Form1, QCoreApplication::arguments());
  const int code = QApplication::exec();
  // The scanner connection goes first, while the window can still show a failure to close it.
  FreeGlobalTwain();
  return code;
}
