// Pictures of the main window and the About box for the README. On an X
// server each picture is taken from the screen and takes in the window
// manager's frame (title bar, icon, buttons) as a user sees it; on another
// platform (offscreen) it is the bare window. The window talks to whatever
// COM2 leads to; scripts/screenshots runs this on Xvfb under openbox against
// the simulated instrument and takes the picture partway through a download.
//   velorix-screenshot OUTDIR

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "archive/results_file.h"
#include "qt_window/qt_about_dlg.h"
#include "qt_window/qt_archive_dlg.h"
#include "qt_window/qt_window_ids.h"
#include "tests/qt_window/window_test_support.h"

namespace {

using velorix::testing::PumpUntil;

// The save dialog's answer: a file in a scratch folder the tool removes.
class ScratchAnswer : public velorix::SaveDialog {
 public:
  explicit ScratchAnswer(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> AskSavePath(const velorix::SaveRequest&) override { return path_; }

 private:
  std::string path_;
};

// The window as it is on the screen, with the frame the window manager has
// put round it (once it has: its frame extents are known), or the bare
// window where there is no screen to take it from.
QPixmap Picture(QWidget& window) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return window.grab();
  PumpUntil([&] { return window.frameGeometry().size() != window.size(); }, 5000);
  PumpUntil([] { return false; }, 500);  // the frame and the window painted
  const QRect frame = window.frameGeometry();
  return window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
}

bool Save(QWidget& widget, const std::filesystem::path& file) {
  if (Picture(widget).save(QString::fromStdString(file.string()), "PNG")) {
    std::printf("%s\n", file.c_str());
    return true;
  }
  std::fprintf(stderr, "velorix-screenshot: can't write %s\n", file.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velorix-screenshot OUTDIR\n");
    return 2;
  }
  const std::filesystem::path out = argv[1];
  QApplication application(argc, argv);

  const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "velorix-screenshot.xls";
  ScratchAnswer answer(scratch.string());
  velorix::CArchiveDlg dlg;
  dlg.SetSaveDialog(&answer);
  dlg.SetMessageBoxPresenter([](QWidget*, const QString&, const QString&, QMessageBox::Icon) {});
  // A fixed time, so the pictures don't change from one run to the next.
  dlg.SetLocalTimeSource([]() -> std::optional<std::tm> {
    std::tm t{};
    t.tm_hour = 10;
    t.tm_min = 42;
    t.tm_sec = 7;
    t.tm_mday = 7;
    t.tm_mon = 11;
    t.tm_year = 126;
    return t;
  });
  dlg.show();
  dlg.OnTimer(velorix::CLOCK_TIMER);

  auto* status = qobject_cast<QLabel*>(dlg.GetDlgItem(velorix::IDC_STATUS));
  auto* progress = qobject_cast<QProgressBar*>(dlg.GetDlgItem(velorix::IDC_PROGRESS));
  if (!PumpUntil([&] { return status->text().startsWith(" Device connected"); }, 15000)) {
    std::fprintf(stderr, "velorix-screenshot: no instrument answered (%s)\n", status->text().toUtf8().constData());
    return 1;
  }
  qobject_cast<QLineEdit*>(dlg.GetDlgItem(velorix::IDC_SAMPLE_COUNT))->setText("100");
  qobject_cast<QCheckBox*>(dlg.GetDlgItem(velorix::IDC_EXPORT_EXCEL))->click();
  qobject_cast<QPushButton*>(dlg.GetDlgItem(velorix::IDC_READ_ARCHIVE))->click();
  // Partway through: the bar and the status line both have something to show.
  PumpUntil([&] { return progress->value() - progress->minimum() >= 40; }, 30000);
  bool ok = Save(dlg, out / "window.png");

  velorix::CAboutDlg about(&dlg);
  about.show();
  PumpUntil([] { return false; }, 200);
  ok = Save(about, out / "about.png") && ok;
  about.close();

  PumpUntil([&] { return status->text().endsWith("File is written."); }, 30000);
  std::filesystem::remove(scratch);
  dlg.close();
  return ok ? 0 : 1;
}
