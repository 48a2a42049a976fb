// Entry point of the program.
//
//   lumivane [QT OPTIONS] [FILE]
#include <QApplication>
#include <QCommandLineParser>
#include <QStringList>
#include <cstdio>
#include <string_view>

#include "app/TorvaskUnit1.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "twain/TwainUtils.h"

namespace {

constexpr int kUsage = 2;

// --help and --version answer without a window, so they need no display: unless a platform is
// chosen, they run on the offscreen one. Only the words before "--" are options.
void UseOffscreenForTextOnly(int argc, char* argv[]) {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return;
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
        arg == "--version") {
      qputenv("QT_QPA_PLATFORM", "offscreen");
      return;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  UseOffscreenForTextOnly(argc, argv);
  // QApplication takes Qt's own options (-platform, -style, ...) out of the arguments.
  QApplication application(argc, argv);
  QCoreApplication::setApplicationVersion(QStringLiteral(LUMIVANE_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(QString::fromUtf8(msg::kProgramDescription));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QString::fromUtf8(msg::kProgramFile),
                               QString::fromUtf8(msg::kProgramFileHelp),
                               QString::fromUtf8(msg::kProgramFileSyntax));
  // A word that starts with "-" is an option, never a file name: a file called so is given as
  // ./-name, or after "--".
  const QStringList arguments = QCoreApplication::arguments();
  if (!parser.parse(arguments)) {
    (void)std::fputs(
        FormatMessage(msg::kProgramUsageError, parser.errorText().toLocal8Bit().constData())
            .c_str(),
        stderr);
    return kUsage;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    std::printf("lumivane %s\n", LUMIVANE_VERSION);
    return 0;
  }
  // --help and --help-all (which adds Qt's own options) print and exit here.
  parser.process(arguments);
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    (void)std::fputs(FormatMessage(msg::kProgramUsageError, msg::kProgramOneFile).c_str(), stderr);
    return kUsage;
  }

  // The Japanese texts of Qt come in here, after the command line's help, which is English like
  // lumivane-batch's.
  SetUpApplication();
  TForm1 Form1;
  Form1.show();
  // `lumivane photo.jpg`, as a desktop's file manager starts it.
  if (!files.isEmpty()) OpenCommandLineFile(Form1, {arguments.front(), files.front()});
  const int code = QApplication::exec();
  // The scanner connection goes first, while the window can still show a failure to close it.
  FreeGlobalTwain();
  return code;
}
