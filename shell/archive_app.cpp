#include "shell/archive_app.h"

#include <QApplication>
#include <QGuiApplication>

#include "shell/archive_dlg.h"

namespace velorix {

// The application object: runs the main window and ends the program when it
// has closed.
class CArchiveApp {
 public:
  bool InitInstance() {
    CArchiveDlg dlg;
    dlg.RunAsMainWindow();  // OK or Cancel alike end the program
    // Leaving here destroys the window, which stops the link.
    return false;
  }
};

CArchiveApp theApp;

}  // namespace velorix

int RunArchiveWindow(int argc, char** argv) {
  int qtArgc = argc;
  QApplication application(qtArgc, argv);
  // The window's class (WM_CLASS) and application id name the desktop entry,
  // however the program was called.
  QCoreApplication::setApplicationName(QStringLiteral("velorix-archive"));
  QGuiApplication::setDesktopFileName(QStringLiteral("velorix-archive"));
  velorix::theApp.InitInstance();
  return 0;
}
