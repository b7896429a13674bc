#include "shell/archive_app.h"

#include <QApplication>

#include "shell/archive_dlg.h"

namespace velorix {

// The application object: runs the main window modally and ends the program
// when it has closed.
class CArchiveApp {
 public:
  bool InitInstance() {
    CArchiveDlg dlg;
    dlg.exec();  // OK or Cancel alike end the program
    // Leaving here destroys the window, which stops the link.
    return false;
  }
};

CArchiveApp theApp;

}  // namespace velorix

int RunArchiveWindow(int argc, char** argv) {
  int qtArgc = argc;
  QApplication application(qtArgc, argv);
  velorix::theApp.InitInstance();
  return 0;
}
