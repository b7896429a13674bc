#include "shell/window_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include "qt_window/qt_archive_dlg.h"

namespace velorix {
namespace {

// The signal handler's only way to the event loop (self-pipe).
int signalPipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int signal) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}

void CloseWindowNow(CArchiveDlg& window) {
  char bytes[64];
  while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
  }
  // Each cancelled box hides at once; the bound only guards against one that won't.
  for (int i = 0; i < 16; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == &window) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
  }
  window.CloseForSignal();
}

// SIGHUP (the terminal that started the program went away), SIGINT and
// SIGTERM close the window as its close button does, so the port is
// released and the settings file written. A box or the save dialog open
// over the window is cancelled first, or its own loop would keep the program
// running. The handlers stay for the rest of the run: a signal while the
// window is being taken down must not end the program before the port is.
void CloseOnSignals(CArchiveDlg& window) {
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] { CloseWindowNow(window); });
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGHUP, SIGINT, SIGTERM}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

// The application object: runs the main window and ends the program when it
// has closed.
class CArchiveApp {
 public:
  bool InitInstance() {
    CArchiveDlg dlg;
    CloseOnSignals(dlg);
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
