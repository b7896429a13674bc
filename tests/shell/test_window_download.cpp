// A whole download through the window against the simulated instrument on a
// pseudo-terminal: press "Reading archive", answer the save dialog with a
// path, and compare the file byte for byte with the one made independently
// from the simulator's own archive.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <filesystem>

#include "sim/archive_model.h"
#include "tests/e2e/expected_results.h"
#include "shell/archive_dlg.h"
#include "shell/settings.h"
#include "shell/window_ids.h"
#include "sim_process.h"
#include "tests/shell/test_support.h"
#include "tests/shell/window_test_support.h"

namespace velorix {
namespace {

using testing::PumpUntil;
using testing::ReadFile;
using testing::ScratchFolder;

class FixedAnswer : public SaveDialog {
 public:
  explicit FixedAnswer(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> AskSavePath(const SaveRequest& request) override {
    requests.push_back(request);
    return path_;
  }
  std::vector<SaveRequest> requests;

 private:
  std::string path_;
};

// The window with COM2 on the simulated instrument and every other COM number
// leading nowhere (no serial port of the machine is touched); the first
// clock tick has started the link, and `connected` says whether it found
// the instrument.
struct SimWindow {
  explicit SimWindow(const std::vector<std::string>& simArgs) : sim(simArgs) {
    CArchiveDlg::statusSuffix.clear();
    CArchiveDlg::firstTick = 1;
    std::filesystem::remove(SettingsFilePath());
    for (int n = 1; n <= 9; ++n)
      ::setenv(("VELORIX_COM" + std::to_string(n)).c_str(), n == 2 ? sim.SlavePath().c_str() : "/nonexistent", 1);
    dlg = std::make_unique<CArchiveDlg>();
    status = qobject_cast<QLabel*>(dlg->GetDlgItem(IDC_STATUS));
    dlg->SetMessageBoxPresenter(
        [this](QWidget*, const QString&, const QString& text, QMessageBox::Icon) { boxes.push_back(text); });
    dlg->OnTimer(CLOCK_TIMER);
    connected = PumpUntil([&] { return status->text().startsWith(" Device connected on COM2"); }, 10000);
  }
  template <typename T>
  T* Item(int id) {
    return qobject_cast<T*>(dlg->GetDlgItem(id));
  }

  simtest::SimProcess sim;
  std::vector<QString> boxes;
  std::unique_ptr<CArchiveDlg> dlg;
  QLabel* status = nullptr;
  bool connected = false;
};

struct DownloadCase {
  const char* name;
  int count;
  int pointer;
  bool spreadsheet;
};

class WindowDownload : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(WindowDownload, FileIsByteExactAndTheWindowSaysSo) {
  const DownloadCase& c = GetParam();
  ScratchFolder results;
  const std::string chosen = results.file(c.spreadsheet ? "out.xls" : "out.doc");
  FixedAnswer answer(chosen);
  SimWindow w({"--quiet", "--archive-number", "7", "--pointer", std::to_string(c.pointer)});
  w.dlg->SetSaveDialog(&answer);
  QLabel* status = w.status;
  auto* progress = w.Item<QProgressBar>(IDC_PROGRESS);

  ASSERT_TRUE(w.connected) << status->text().toStdString();
  // The text stays the instrument's own; the device behind the number is in the tooltip.
  EXPECT_EQ(status->toolTip().toStdString(), "COM2: " + w.sim.SlavePath());

  w.Item<QLineEdit>(IDC_SAMPLE_COUNT)->setText(QString::number(c.count));
  if (c.spreadsheet) w.Item<QCheckBox>(IDC_EXPORT_EXCEL)->click();
  w.Item<QPushButton>(IDC_READ_ARCHIVE)->click();
  EXPECT_EQ(CArchiveDlg::statusSuffix, "  Wait for reading.");

  ASSERT_TRUE(PumpUntil([&] { return !answer.requests.empty(); }, 60000)) << status->text().toStdString();
  EXPECT_EQ(progress->maximum() - progress->minimum(), c.count);
  ASSERT_TRUE(PumpUntil([&] { return status->text().endsWith("File is written."); }, 5000));
  EXPECT_EQ(CArchiveDlg::statusSuffix, "File is written.");
  EXPECT_EQ(progress->value(), 0);
  EXPECT_TRUE(w.boxes.empty());
  EXPECT_EQ(answer.requests.front().defaultExtension, c.spreadsheet ? "xls" : "doc");

  // What the file must hold, written out independently of the program's writer.
  const sim::SimArchive archive = sim::GenerateArchive(7);
  const auto records = e2etest::WrittenRecords(archive, c.pointer, c.count);
  const std::string written = ReadFile(chosen);
  EXPECT_FALSE(written.empty());
  EXPECT_TRUE(written == (c.spreadsheet ? e2etest::ExpectedSpreadsheet(archive, records)
                                        : e2etest::ExpectedReport(archive, records)))
      << "the file differs from the expected one";

  // The end frame's reply has come back; closing stores the port that answered.
  ASSERT_TRUE(PumpUntil([&] { return status->text() == " Response OK.File is written."; }, 5000));
  w.dlg->show();
  w.dlg->close();
  EXPECT_EQ(ReadFile(SettingsFilePath()), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowDownload,
    ::testing::Values(DownloadCase{"Spreadsheet100WrappingTheRing", 100, 5, true},
                      DownloadCase{"Report3AtTheRingsEnd", 3, 1999, false}),
    [](const ::testing::TestParamInfo<DownloadCase>& info) { return std::string(info.param.name); });

// Two downloads in one run with the real save dialog: the second dialog
// opens in the folder the first one saved to, and the settings file still
// goes to the folder the program started in.
TEST(WindowSaveDialog, OpensInTheFolderSavedToLast) {
  const QString startFolder = QDir::currentPath();
  SimWindow w({"--quiet"});
  ScratchFolder elsewhere;
  QStringList openedIn;  // the folder each save dialog showed first
  QTimer answer;  // answers each save dialog with a file in `elsewhere`
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    openedIn << dialog->directory().absolutePath();
    // selectFile leaves the name box alone while it has the focus.
    if (QWidget* focus = dialog->focusWidget()) focus->clearFocus();
    dialog->selectFile(QString::fromStdString(elsewhere.file("run" + std::to_string(openedIn.size()) + ".doc")));
    QMetaObject::invokeMethod(dialog, "accept");  // what the Save button does
  });
  answer.start(20);

  ASSERT_TRUE(w.connected) << w.status->text().toStdString();
  w.Item<QLineEdit>(IDC_SAMPLE_COUNT)->setText(QStringLiteral("3"));
  for (int run = 1; run <= 2; ++run) {
    w.Item<QPushButton>(IDC_READ_ARCHIVE)->click();
    const std::string written = elsewhere.file("run" + std::to_string(run) + ".doc");
    ASSERT_TRUE(PumpUntil([&] { return testing::Exists(written); }, 30000)) << w.status->text().toStdString();
    // The end of the download has its answer (perhaps while the dialog was
    // open): the link takes the next press.
    ASSERT_TRUE(PumpUntil([&] { return w.dlg->deviceLink->State() == LINK_REPLIED; }, 5000));
  }
  EXPECT_TRUE(w.boxes.empty());
  EXPECT_EQ(openedIn.join(QLatin1Char('|')), startFolder + QLatin1Char('|') +
                                                 QDir(QString::fromStdString(elsewhere.path())).absolutePath());

  w.dlg->show();
  w.dlg->close();
  EXPECT_EQ(QDir::currentPath(), startFolder);
  EXPECT_EQ(ReadFile(SettingsFilePath()), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

}  // namespace
}  // namespace velorix
