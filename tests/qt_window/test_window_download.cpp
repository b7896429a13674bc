// A whole download through the window against the simulated instrument on a
// pseudo-terminal: press "Reading archive", answer the save dialog with a
// path, and compare the file byte for byte with the one made independently
// from the simulator's own archive.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "sim/archive_model.h"
#include "tests/e2e/expected_results.h"
#include "qt_window/qt_archive_dlg.h"
#include "shell/download_history.h"
#include "shell/settings.h"
#include "qt_window/qt_window_ids.h"
#include "sim_process.h"
#include "tests/shell/test_support.h"
#include "tests/qt_window/window_test_support.h"

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

struct DownloadCase {
  const char* name;
  int count;
  int pointer;
  bool spreadsheet;
  std::vector<std::string> faults = {};  // the simulator's
  int resent = 0;                        // requests the instrument receives more than once
  int unusedFrom = sim::RING_SLOTS;      // the archive's slots from here on are all 0xFF
  long tests = -1;  // >= 0: the archive after that many tests, and "Read new records" instead of the button
};

class WindowDownload : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(WindowDownload, FileIsByteExactAndTheWindowSaysSo) {
  const DownloadCase& c = GetParam();
  CArchiveDlg::statusSuffix.clear();
  CArchiveDlg::firstTick = 1;
  std::filesystem::remove(SettingsFilePath());
  std::filesystem::remove(DefaultHistoryPath());

  ScratchFolder results;
  const sim::SimArchive archive =
      c.tests >= 0 ? sim::GenerateArchiveAfterTests(7, c.tests) : e2etest::ArchiveWithUnusedSlots(7, c.unusedFrom);
  std::string error;
  ASSERT_TRUE(sim::SaveArchiveFile(results.file("archive"), archive, error)) << error;
  std::vector<std::string> simArgs = {"--quiet", "--archive-file", results.file("archive"), "--pointer",
                                      std::to_string(c.pointer), "--log", results.file("frames.log")};
  simArgs.insert(simArgs.end(), c.faults.begin(), c.faults.end());
  simtest::SimProcess sim(simArgs);
  ::setenv("VELORIX_COM2", sim.SlavePath().c_str(), 1);
  for (int n : {1, 3, 4, 5, 6, 7, 8, 9}) ::setenv(("VELORIX_COM" + std::to_string(n)).c_str(), "/nonexistent", 1);

  const std::string chosen = results.file(c.spreadsheet ? "out.xls" : "out.doc");
  FixedAnswer answer(chosen);
  std::vector<QString> boxes;

  auto dlg = std::make_unique<CArchiveDlg>();
  dlg->SetSaveDialog(&answer);
  dlg->SetMessageBoxPresenter(
      [&](QWidget*, const QString&, const QString& text, QMessageBox::Icon) { boxes.push_back(text); });
  auto* status = qobject_cast<QLabel*>(dlg->GetDlgItem(IDC_STATUS));
  auto* progress = qobject_cast<QProgressBar*>(dlg->GetDlgItem(IDC_PROGRESS));

  dlg->OnTimer(CLOCK_TIMER);  // the first tick starts the link
  ASSERT_TRUE(PumpUntil([&] { return status->text().startsWith(" Device connected on COM2"); }, 10000))
      << status->text().toStdString();
  // The text stays the instrument's own; the device behind the number is in the tooltip.
  EXPECT_EQ(status->toolTip().toStdString(), "COM2: " + sim.SlavePath());

  qobject_cast<QLineEdit*>(dlg->GetDlgItem(IDC_SAMPLE_COUNT))->setText(QString::number(c.count));
  if (c.spreadsheet) qobject_cast<QCheckBox*>(dlg->GetDlgItem(IDC_EXPORT_EXCEL))->click();
  if (c.tests >= 0) dlg->SystemMenu()->actions().front()->trigger();  // "Read new records"
  else qobject_cast<QPushButton*>(dlg->GetDlgItem(IDC_READ_ARCHIVE))->click();
  EXPECT_EQ(CArchiveDlg::statusSuffix, "  Wait for reading.");

  ASSERT_TRUE(PumpUntil([&] { return !answer.requests.empty(); }, 60000)) << status->text().toStdString();
  EXPECT_EQ(progress->maximum() - progress->minimum(), c.count);
  ASSERT_TRUE(PumpUntil([&] { return status->text().endsWith("File is written."); }, 5000));
  EXPECT_EQ(CArchiveDlg::statusSuffix, "File is written.");
  EXPECT_EQ(progress->value(), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(answer.requests.front().defaultExtension, c.spreadsheet ? "xls" : "doc");

  // What the file must hold, written out independently of the program's writer.
  const auto records = e2etest::WrittenRecords(archive, c.pointer, c.count);
  const std::string written = ReadFile(chosen);
  EXPECT_FALSE(written.empty());
  EXPECT_TRUE(written == (c.spreadsheet ? e2etest::ExpectedSpreadsheet(archive, records)
                                        : e2etest::ExpectedReport(archive, records)))
      << "the file differs from the expected one";

  // The end frame's reply has come back; closing stores the port that answered.
  ASSERT_TRUE(PumpUntil([&] { return status->text() == " Response OK.File is written."; }, 5000));
  // The probe, the pointer, the table, count + 1 records (count new ones) and the end, and the repeats.
  const std::string log = ReadFile(results.file("frames.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.count + (c.tests >= 0 ? 4 : 5) + c.resent);
  dlg->show();
  if (c.tests >= 0) {  // again: nothing new now, no dialog
    dlg->SystemMenu()->actions().front()->trigger();
    ASSERT_TRUE(PumpUntil([&] { return status->text() == " Response OK.No new records since the last download."; }, 5000))
        << status->text().toStdString();
    EXPECT_EQ(answer.requests.size(), 1u);
  }
  dlg->close();
  EXPECT_EQ(ReadFile(SettingsFilePath()), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
  dlg.reset();  // stops the link
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowDownload,
    ::testing::Values(DownloadCase{"Spreadsheet100WrappingTheRing", 100, 5, true},
                      DownloadCase{"Report3AtTheRingsEnd", 3, 1999, false},
                      // Late answers to repeats are not taken for the next replies.
                      DownloadCase{"Spreadsheet6AfterAPause", 6, 5, true, {"--pause", "5,8000", "--baud", "9600"}, 2},
                      // ... also when all five come at once.
                      DownloadCase{"Spreadsheet6AfterFiveAnswersAtOnce", 6, 5, true, {"--pause", "5,13000"}, 4},
                      // One lost request among unused slots costs one repeat more, once.
                      DownloadCase{"Spreadsheet15AfterAGlitchAmongUnusedSlots", 15, 5, true, {"--drop", "3"}, 2, 1990},
                      // "Read new records": the whole archive the first time, then nothing new.
                      DownloadCase{"NewRecordsTwice", 2000, 100, true, {}, 0, sim::RING_SLOTS, 2100}),
    [](const ::testing::TestParamInfo<DownloadCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velorix
