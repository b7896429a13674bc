// The main window and the About box, driven through their real widgets.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <climits>
#include <ctime>
#include <filesystem>
#include <optional>

#include "qt_window/qt_about_dlg.h"
#include "qt_window/qt_archive_dlg.h"
#include "shell/settings.h"
#include "qt_window/qt_up_down_control.h"
#include "qt_window/qt_window_adapters.h"
#include "qt_window/qt_window_ids.h"
#include "tests/archive/record_builder.h"
#include "tests/shell/test_support.h"
#include "tests/qt_window/window_test_support.h"

namespace velorix {
namespace {

using testing::MakeAbsentLink;
using testing::PumpUntil;
using testing::ReadFile;
using testing::WriteFile;

// The override cursor's shape, or -1 when there is none (each window shows
// its own, normal cursor).
int OverrideCursor() {
  const QCursor* cursor = QApplication::overrideCursor();
  return cursor ? static_cast<int>(cursor->shape()) : -1;
}

struct Box {
  QString caption, text;
  QMessageBox::Icon icon;
  int cursor;  // OverrideCursor() while the box was open
};

// Runs `open`, which opens a modal dialog; as soon as it shows, `inspect`
// looks at it and the dialog is closed. Returns its title ("" if none came).
QString CloseNextModal(const std::function<void()>& open, const std::function<void(QWidget*)>& inspect = {}) {
  QString title;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    poll.stop();
    title = modal->windowTitle();
    if (inspect) inspect(modal);
    modal->close();
  });
  poll.start(10);
  open();
  PumpUntil([&] { return !title.isEmpty(); }, 5000);
  return title;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CArchiveDlg::statusSuffix.clear();
    CArchiveDlg::firstTick = 1;
    CArchiveDlg::aboutBoxString = QString::fromLatin1(STRING_ABOUTBOX);
    std::filesystem::remove(SettingsFilePath());
  }

  std::unique_ptr<CArchiveDlg> MakeDialog() {
    auto dlg = std::make_unique<CArchiveDlg>(nullptr, [this] { return MakeAbsentLink(opens); });
    dlg->SetMessageBoxPresenter(
        [this](QWidget*, const QString& caption, const QString& text, QMessageBox::Icon icon) {
          boxes.push_back({caption, text, icon, OverrideCursor()});
          if (whileBoxIsOpen) whileBoxIsOpen();
        });
    return dlg;
  }

  // Shown and active, as the operator has it.
  std::unique_ptr<CArchiveDlg> MakeShownDialog() {
    auto dlg = MakeDialog();
    dlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    QApplication::setActiveWindow(dlg.get());
    return dlg;
  }

  template <typename T>
  static T* Item(CArchiveDlg& dlg, int id) {
    T* widget = qobject_cast<T*>(dlg.GetDlgItem(id));
    EXPECT_NE(widget, nullptr) << ControlName(id);
    return widget;
  }

  std::shared_ptr<std::atomic<int>> opens = std::make_shared<std::atomic<int>>(0);
  std::vector<Box> boxes;
  std::function<void()> whileBoxIsOpen;  // runs inside each box
};

TEST_F(WindowTest, ControlsHaveTheirTextsAndInitialStates) {
  auto dlg = MakeDialog();
  CArchiveDlg& d = *dlg;
  EXPECT_EQ(d.windowTitle(), QStringLiteral("Velorix-5  Reading archive"));
  EXPECT_EQ(d.size(), QSize(318, 218));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());  // fixed size
  EXPECT_FALSE(d.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(d.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(d.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(d.windowIcon().availableSizes(), (QList<QSize>{QSize(32, 32), QSize(16, 16)}));

  EXPECT_EQ(Item<QLineEdit>(d, IDC_CLOCK)->text(), QString());
  EXPECT_FALSE(Item<QLineEdit>(d, IDC_CLOCK)->isReadOnly());
  EXPECT_EQ(Item<QLabel>(d, IDC_STATUS)->text(), QString());
  EXPECT_EQ(Item<QLineEdit>(d, IDC_SAMPLE_COUNT)->text(), QStringLiteral("100"));
  EXPECT_EQ(Item<QPushButton>(d, IDC_READ_ARCHIVE)->text(), QStringLiteral("Reading archive"));
  EXPECT_FALSE(Item<QPushButton>(d, IDC_READ_ARCHIVE)->isDefault());
  EXPECT_EQ(Item<QCheckBox>(d, IDC_EXPORT_EXCEL)->text(), QStringLiteral("Export in Excel"));
  EXPECT_FALSE(Item<QCheckBox>(d, IDC_EXPORT_EXCEL)->isChecked());
  QProgressBar* progress = Item<QProgressBar>(d, IDC_PROGRESS);
  EXPECT_EQ(progress->minimum(), 0);
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_EQ(progress->value(), 0);
  EXPECT_EQ(d.sampleSpin->GetPos32(), 100);
  EXPECT_EQ(d.sampleCount, 100);
  EXPECT_EQ(d.exportExcel, 0);
  EXPECT_EQ(d.portSetting, 2);

  QStringList titles;
  for (QGroupBox* box : d.findChildren<QGroupBox*>()) titles << box->title();
  titles.sort();
  EXPECT_EQ(titles, (QStringList{QStringLiteral("Number of samples"), QStringLiteral("Status bar")}));

  // Nothing is ever disabled or hidden.
  for (int id : {IDC_CLOCK, IDC_STATUS, IDC_READ_ARCHIVE, IDC_PROGRESS, IDC_SAMPLE_COUNT, IDC_SAMPLE_SPIN,
                 IDC_EXPORT_EXCEL}) {
    EXPECT_TRUE(d.GetDlgItem(id)->isEnabled()) << ControlName(id);
  }

  // Focus starts on the clock; Tab walks the template order. "Reading
  // archive" is the default button (*) only while it has the focus.
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  QApplication::setActiveWindow(&d);
  EXPECT_EQ(QApplication::focusWidget(), d.GetDlgItem(IDC_CLOCK));
  QStringList order;
  for (int i = 0; i < 4; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order << QApplication::focusWidget()->objectName() +
                 (Item<QPushButton>(d, IDC_READ_ARCHIVE)->isDefault() ? "*" : "");
  }
  EXPECT_EQ(order, (QStringList{"IDC_SAMPLE_COUNT", "IDC_READ_ARCHIVE*", "IDC_EXPORT_EXCEL", "IDC_CLOCK"}));
}

TEST_F(WindowTest, AboutItemSitsInTheContextMenuUnlessItsTextIsEmpty) {
  {
    auto dlg = MakeDialog();
    const QList<QAction*> actions = dlg->SystemMenu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Read new records"));
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), QStringLiteral("&About Velorix-5"));
  }
  CArchiveDlg::aboutBoxString.clear();
  auto dlg = MakeDialog();
  EXPECT_EQ(dlg->SystemMenu()->actions().size(), 1);
}

TEST_F(WindowTest, AboutCommandOpensTheAboutBoxModally) {
  auto dlg = MakeDialog();
  QStringList seen;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    seen << modal->windowTitle();
    for (QLabel* label : modal->findChildren<QLabel*>())
      if (!label->text().isEmpty()) seen << label->text();
    if (auto* ok = modal->findChild<QPushButton*>("IDOK")) ok->click();
  });
  dlg->SystemMenu()->actions().last()->trigger();
  EXPECT_EQ(seen, (QStringList{"About Velorix-5", "Quorvel V2.9"}));
  // Only the low four bits are ignored when the command is recognised.
  dlg->OnSysCommand(IDM_ABOUTBOX + 0x20);  // another command: nothing opens
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(AboutBox, TextsAndButton) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Velorix-5"));
  EXPECT_EQ(CAboutDlg::VersionText(), QStringLiteral("Quorvel V2.9"));
  auto* ok = about.findChild<QPushButton*>("IDOK");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), QStringLiteral("OK"));
  EXPECT_TRUE(ok->isDefault());
  EXPECT_EQ(about.size(), QSize(326, 89));
  // The icon is shown whole.
  auto* icon = about.findChild<QLabel*>("aboutIcon");
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->size(), icon->pixmap().deviceIndependentSize().toSize());
}

struct ArrowCase {
  const char* name;
  const char* typed;
  bool up;
  int count;
  const char* text;
};

class UpDown : public WindowTest, public ::testing::WithParamInterface<ArrowCase> {};

TEST_P(UpDown, ArrowRewritesTheCountWithThePosition) {
  const ArrowCase& c = GetParam();
  auto dlg = MakeDialog();
  Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->setText(QString::fromLatin1(c.typed));
  (c.up ? dlg->sampleSpin->UpButton() : dlg->sampleSpin->DownButton())->click();
  EXPECT_EQ(dlg->sampleCount, c.count);
  EXPECT_EQ(dlg->sampleSpin->GetPos32(), c.count);
  EXPECT_EQ(Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->text(), QString::fromLatin1(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpDown,
    ::testing::Values(ArrowCase{"UpAtTop", "2000", true, 2000, "2000"},
                      ArrowCase{"DownAtBottom", "1", false, 1, "1"},
                      ArrowCase{"UpFromDefault", "100", true, 101, "101"},
                      ArrowCase{"DownFromDefault", "100", false, 99, "99"},
                      ArrowCase{"UpAfterTyped2500", "2500", true, 2000, "2000"},
                      ArrowCase{"DownAfterTyped2500", "2500", false, 1999, "1999"},
                      ArrowCase{"UpAfterLetters", "abc", true, 2, "2"},
                      ArrowCase{"DownAfterZero", "0", false, 1, "1"},
                      ArrowCase{"LeadingZerosReplaced", "0050", true, 51, "51"}),
    [](const ::testing::TestParamInfo<ArrowCase>& info) { return std::string(info.param.name); });

struct TypedCase {
  const char* name;
  const char* text;
  int count;
  int position;
};

class Typing : public WindowTest, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(Typing, CountKeepsWhatWasTypedAndPositionStaysInRange) {
  const TypedCase& c = GetParam();
  auto dlg = MakeDialog();
  QLineEdit* edit = Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT);
  edit->clear();
  QTest::keyClicks(edit, QString::fromLatin1(c.text));
  EXPECT_EQ(edit->text(), QString::fromLatin1(c.text));  // nothing is refused
  EXPECT_EQ(dlg->sampleCount, c.count);
  EXPECT_EQ(dlg->sampleSpin->GetPos32(), c.position);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Typing,
    ::testing::Values(TypedCase{"Number", "250", 250, 250},
                      TypedCase{"Above2000", "2500", 2500, 2000},
                      TypedCase{"LettersOnly", "abc", 0, 1},
                      TypedCase{"Empty", "", 0, 1},
                      TypedCase{"LeadingBlanks", "  42", 42, 42},
                      TypedCase{"DigitsThenLetters", "12abc", 12, 12},
                      TypedCase{"SignIsNoDigit", "-5", 0, 1},
                      // The position travels in 16 bits: 70000 is 4464 there.
                      TypedCase{"Beyond16Bits", "70000", 70000, 2000},
                      TypedCase{"Low16BitsSmall", "65541", 65541, 5},
                      TypedCase{"UnsignedMaximum", "4294967295", -1, 1},
                      TypedCase{"BeyondUnsigned", "4294967296", 0, 1}),
    [](const ::testing::TestParamInfo<TypedCase>& info) { return std::string(info.param.name); });

struct StatusCase {
  const char* name;
  std::string suffix;
  std::string worker;
  const char* shown;
};

class StatusLine : public WindowTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusLine, WorkerTextThenSuffixWithNothingBetween) {
  const StatusCase& c = GetParam();
  auto dlg = MakeDialog();
  CArchiveDlg::statusSuffix = c.suffix;
  // Through the same road the worker takes: a posted notice.
  QtLinkOwner owner(dlg.get());
  if (c.worker.empty()) owner.PortGone(2, "/dev/ttyUSB0");
  else owner.PostLinkStatus(c.worker);
  QLabel* status = Item<QLabel>(*dlg, IDC_STATUS);
  ASSERT_TRUE(PumpUntil([&] { return !status->text().isEmpty(); }, 2000));
  EXPECT_EQ(status->text(), QString::fromLatin1(c.shown));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusLine,
    ::testing::Values(StatusCase{"NoSuffix", "", " Waiting response.", " Waiting response."},
                      StatusCase{"WaitForReading", "  Wait for reading.", " Waiting response.",
                                 " Waiting response.  Wait for reading."},
                      StatusCase{"FileWritten", "File is written.", " Response OK.", " Response OK.File is written."},
                      StatusCase{"EighthBitKept", "", "\xB0 ok", "\xB0 ok"},
                      // No worker text: the port has gone. Said alone.
                      StatusCase{"PortGone", "  Wait for reading.", "", "The port COM2 (/dev/ttyUSB0) is gone."}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(WindowTest, LinkNoticesKeepTheirOrderAndStopWhenTheWindowIsGone) {
  auto dlg = MakeDialog();
  QtLinkOwner owner(dlg.get());
  owner.PostLinkStatus(" first");
  owner.PostMessageBox("Overrun Error", MessageBoxKind::Error);
  owner.PostLinkStatus(" second");
  QLabel* status = Item<QLabel>(*dlg, IDC_STATUS);
  ASSERT_TRUE(PumpUntil([&] { return status->text() == " second"; }, 2000));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QStringLiteral("Overrun Error"));
  EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("test_shell_window"));  // the executable's name

  dlg->reject();
  owner.PostLinkStatus(" late");
  owner.PostMessageBox("late box", MessageBoxKind::Plain);
  owner.PostLinkFrame({});
  QCoreApplication::processEvents();
  EXPECT_EQ(status->text(), QStringLiteral(" second"));
  EXPECT_EQ(boxes.size(), 1u);

  // Once detached, nothing is posted at all.
  owner.Detach();
  owner.PostLinkStatus(" detached");
  dlg.reset();
  QCoreApplication::processEvents();
}

TEST_F(WindowTest, CheckBoxClickedTwiceReturnsToSpreadsheetOff) {
  auto dlg = MakeDialog();
  QCheckBox* box = Item<QCheckBox>(*dlg, IDC_EXPORT_EXCEL);
  const int expected[] = {1, 0, 1, 0};
  for (int want : expected) {
    box->click();
    EXPECT_EQ(dlg->exportExcel, want);
    EXPECT_EQ(box->isChecked(), want == 1);
  }
}

struct ClockCase {
  const char* name;
  std::optional<std::tm> local;
  const char* line1;
  const char* line2;
};

std::tm At(int hour, int minute, int second, int day, int month0) {
  std::tm t{};
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_mday = day;
  t.tm_mon = month0;
  t.tm_year = 109;
  return t;
}

class ClockLines : public WindowTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockLines, TickDrawsTheTwoLines) {
  const ClockCase& c = GetParam();
  auto dlg = MakeDialog();
  dlg->SetLocalTimeSource([&] { return c.local; });
  dlg->OnTimer(CLOCK_TIMER);
  EXPECT_EQ(dlg->ClockText(0), c.line1);
  EXPECT_EQ(dlg->ClockText(1), c.line2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClockLines,
    ::testing::Values(ClockCase{"Morning", At(9, 5, 7, 6, 11), "  9:05:07", "    6 dec"},
                      ClockCase{"Midnight", At(0, 0, 0, 1, 0), "  0:00:00", "    1 jan"},
                      ClockCase{"Evening", At(23, 59, 59, 31, 4), "  23:59:59", "    31 may"},
                      ClockCase{"NoLocalTime", std::nullopt, "  -1:-1:-1", "    0 ii"}),
    [](const ::testing::TestParamInfo<ClockCase>& info) { return std::string(info.param.name); });

TEST_F(WindowTest, ClockIsPaintedOverTheEditBoxAndWipedEachTick) {
  auto dlg = MakeDialog();
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  QWidget* clock = dlg->GetDlgItem(IDC_CLOCK);
  const auto inked = [&] {
    const QImage image = clock->grab().toImage();
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 4; x < image.width() - 4; ++x) dark += qGray(image.pixel(x, y)) < 100;
    return dark;
  };
  const int blank = inked();
  dlg->SetLocalTimeSource([] { return std::optional<std::tm>(At(23, 59, 59, 31, 4)); });
  dlg->OnTimer(CLOCK_TIMER);
  const int long_ = inked();
  dlg->SetLocalTimeSource([] { return std::optional<std::tm>(At(1, 11, 11, 1, 0)); });
  dlg->OnTimer(CLOCK_TIMER);
  const int short_ = inked();
  EXPECT_GT(long_, blank + 20);
  EXPECT_LT(short_, long_);  // the old text did not stay behind
}

TEST_F(WindowTest, OnlyTheFirstClockTickStartsTheLink) {
  auto dlg = MakeDialog();
  dlg->OnTimer(CLOCK_TIMER + 1);  // some other timer: no start
  QTest::qWait(50);
  EXPECT_EQ(opens->load(), 0);
  EXPECT_EQ(CArchiveDlg::firstTick, 1);

  dlg->OnTimer(CLOCK_TIMER);
  EXPECT_EQ(CArchiveDlg::firstTick, 0);
  // The scan tries five ports, finds nothing and says so in a box.
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }, 5000));
  EXPECT_EQ(opens->load(), 5);
  for (int i = 0; i < 3; ++i) dlg->OnTimer(CLOCK_TIMER);
  QTest::qWait(200);
  EXPECT_EQ(opens->load(), 5);
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(WindowTest, RealTimerTicksAboutOncePerSecond) {
  auto dlg = MakeDialog();
  ASSERT_TRUE(PumpUntil([&] { return !dlg->ClockText(0).empty(); }, 3000));
  EXPECT_EQ(CArchiveDlg::firstTick, 0);
}

struct CloseCase {
  const char* name;
  bool fileExists;
  std::string stored;
  std::string written;
  int port;
};

class CloseBeforeFirstTick : public WindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseBeforeFirstTick, WritesThePortReadAtStart) {
  const CloseCase& c = GetParam();
  if (c.fileExists) WriteFile(SettingsFilePath(), "[Velorix - 5]\nCOM Port 1_4=" + c.stored + "\n");
  auto dlg = MakeDialog();
  EXPECT_EQ(dlg->deviceLink->PortNumber(-1), c.port);
  dlg->show();
  ASSERT_TRUE(dlg->close());  // the title bar's close button
  EXPECT_EQ(ReadFile(SettingsFilePath()), "[Velorix - 5]\nCOM Port 1_4=" + c.written + "\n");
  EXPECT_EQ(dlg->portSetting, c.port);
  EXPECT_EQ(opens->load(), 0);  // the link was never started
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseBeforeFirstTick,
    ::testing::Values(CloseCase{"FirstStart", false, "", " 2 ", 2},
                      CloseCase{"Stored3WithBlanks", true, " 3 ", " 3 ", 3},
                      CloseCase{"Stored3Bare", true, "3", " 3 ", 3},
                      CloseCase{"Stored12abc", true, "12abc", " 12 ", 12},
                      // -1 asks the link to keep its own port number.
                      CloseCase{"StoredMinusOne", true, "-1", " 2 ", 2}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

struct KeyCase {
  const char* name;
  int focusId;
  Qt::Key key;
  bool closes;
};

class Keys : public WindowTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(Keys, EnterAndEscEndTheRunUnlessAPushButtonHasTheFocus) {
  const KeyCase& c = GetParam();
  WriteFile(SettingsFilePath(), "[Velorix - 5]\nCOM Port 1_4= 4 \n");
  auto dlg = MakeDialog();
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  QApplication::setActiveWindow(dlg.get());
  QWidget* focus = dlg->GetDlgItem(c.focusId);
  focus->setFocus();
  ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == focus; }, 2000));
  WriteFile(SettingsFilePath(), "");  // to see whether closing writes it again
  QTest::keyClick(focus, c.key);
  EXPECT_EQ(dlg->isVisible(), !c.closes);
  EXPECT_EQ(ReadFile(SettingsFilePath()), c.closes ? "[Velorix - 5]\nCOM Port 1_4= 4 \n" : "");
  if (c.focusId == IDC_READ_ARCHIVE && c.key == Qt::Key_Return) {
    // The button was pressed: the download asked for the pointer.
    EXPECT_EQ(CArchiveDlg::statusSuffix, "  Wait for reading.");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Keys,
    ::testing::Values(KeyCase{"EnterInCount", IDC_SAMPLE_COUNT, Qt::Key_Return, true},
                      KeyCase{"KeypadEnterInCount", IDC_SAMPLE_COUNT, Qt::Key_Enter, true},
                      KeyCase{"EnterInClock", IDC_CLOCK, Qt::Key_Return, true},
                      KeyCase{"EnterOnCheckBox", IDC_EXPORT_EXCEL, Qt::Key_Return, true},
                      KeyCase{"EscInCount", IDC_SAMPLE_COUNT, Qt::Key_Escape, true},
                      KeyCase{"EscOnButton", IDC_READ_ARCHIVE, Qt::Key_Escape, true},
                      KeyCase{"EnterOnReadButtonPressesIt", IDC_READ_ARCHIVE, Qt::Key_Return, false}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(WindowTest, BadCountIsRefusedWithTheDownloadsBox) {
  auto dlg = MakeDialog();
  for (const char* text : {"0", "2001", "abc"}) {
    Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->setText(QString::fromLatin1(text));
    Item<QPushButton>(*dlg, IDC_READ_ARCHIVE)->click();
  }
  ASSERT_EQ(boxes.size(), 3u);
  for (const Box& box : boxes) {
    EXPECT_EQ(box.text, QStringLiteral("Number is incorrect (1...2000)"));
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
  }
  EXPECT_EQ(CArchiveDlg::statusSuffix, "");
}

// No control sits on a group box's frame or title: each one lies inside the
// contents of the box it overlaps, or clear of the box altogether.
TEST_F(WindowTest, ControlsSitInsideTheFramesAroundThem) {
  auto dlg = MakeShownDialog();
  int framed = 0;
  for (int id : {IDC_CLOCK, IDC_STATUS, IDC_READ_ARCHIVE, IDC_PROGRESS, IDC_SAMPLE_COUNT, IDC_SAMPLE_SPIN,
                 IDC_EXPORT_EXCEL}) {
    const QRect control = dlg->GetDlgItem(id)->geometry();
    for (QGroupBox* group : dlg->findChildren<QGroupBox*>()) {
      if (!group->geometry().intersects(control)) continue;
      ++framed;
      EXPECT_TRUE(group->contentsRect().translated(group->pos()).contains(control))
          << ControlName(id) << " on the frame of " << group->title().toStdString();
    }
  }
  EXPECT_EQ(framed, 3);  // the progress bar, the count and its up-down control
}

// While a box or dialog (here the About box, which F1 opens) waits for the
// operator the normal cursor shows; after it the wait cursor comes back only
// if the scan still runs.
TEST_F(WindowTest, NormalCursorOverBoxesAndTheAboutBoxOnF1) {
  auto dlg = MakeShownDialog();
  QtLinkOwner owner(dlg.get());
  owner.SetWaitCursor(true);  // the scan begins
  ASSERT_TRUE(PumpUntil([] { return OverrideCursor() == Qt::WaitCursor; }, 2000));
  owner.PostMessageBox("Overrun Error", MessageBoxKind::Error);
  ASSERT_TRUE(PumpUntil([&] { return boxes.size() == 1; }, 2000));
  EXPECT_EQ(boxes[0].cursor, -1);
  EXPECT_EQ(OverrideCursor(), Qt::WaitCursor);

  EXPECT_EQ(CloseNextModal([] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1); },
                           [](QWidget*) { EXPECT_EQ(OverrideCursor(), -1); })
                .toStdString(),
            "About Velorix-5");
  EXPECT_EQ(OverrideCursor(), Qt::WaitCursor);

  whileBoxIsOpen = [&] {  // the scan ends while the box is open
    owner.SetWaitCursor(false);
    QCoreApplication::processEvents();
  };
  owner.PostMessageBox("Overrun Error", MessageBoxKind::Error);
  ASSERT_TRUE(PumpUntil([&] { return boxes.size() == 2; }, 2000));
  QCoreApplication::processEvents();
  EXPECT_EQ(OverrideCursor(), -1);
}

// A right click: the edit boxes' own menus, and the window's for any other
// control, end with the About item (which names its key) unless its text is
// empty.
struct MenuCase {
  const char* name;
  int id;
  bool aboutText;
};
void PrintTo(const MenuCase& c, std::ostream* os) { *os << c.name; }

class ContextMenus : public WindowTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(ContextMenus, EndWithTheAboutItem) {
  const MenuCase& c = GetParam();
  if (!c.aboutText) CArchiveDlg::aboutBoxString.clear();
  auto dlg = MakeShownDialog();
  QWidget* target = dlg->GetDlgItem(c.id);
  const QPoint at = target->rect().center();
  QContextMenuEvent click(QContextMenuEvent::Mouse, at, target->mapToGlobal(at));
  QApplication::sendEvent(target, &click);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  QStringList items;
  for (QAction* action : menu->actions())
    items << (action->isSeparator() ? QStringLiteral("-") : action->text() + " " + action->shortcut().toString());
  menu->close();
  const QString shown = items.join(QLatin1Char('|')),
                about = QStringLiteral("Read new records |-|&About Velorix-5 F1");
  const bool edit = qobject_cast<QLineEdit*>(target) != nullptr;
  EXPECT_EQ(shown.startsWith(QStringLiteral("&Undo")), edit) << shown.toStdString();
  if (c.aboutText) {
    EXPECT_TRUE(edit ? shown.endsWith("|-|" + about) : shown == about) << shown.toStdString();
  } else {
    EXPECT_FALSE(shown.contains(QStringLiteral("F1")) || shown.endsWith(QLatin1Char('-'))) << shown.toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ContextMenus,
                         ::testing::Values(MenuCase{"Clock", IDC_CLOCK, true},
                                           MenuCase{"Count", IDC_SAMPLE_COUNT, true},
                                           MenuCase{"CountWithoutAboutText", IDC_SAMPLE_COUNT, false},
                                           MenuCase{"Status", IDC_STATUS, true}),
                         [](const ::testing::TestParamInfo<MenuCase>& info) { return std::string(info.param.name); });

// The bar moves with every record, also when a record is a small part of it.
TEST_F(WindowTest, ProgressBarIsRepaintedForEachRecord) {
  auto dlg = MakeShownDialog();
  auto* bar = Item<QProgressBar>(*dlg, IDC_PROGRESS);
  struct PaintSpy : QObject {
    int painted = -1;  // the value the bar showed when it was last painted
    bool eventFilter(QObject* bar, QEvent* event) override {
      if (event->type() == QEvent::Paint) painted = static_cast<QProgressBar*>(bar)->value();
      return false;
    }
  } spy;
  bar->installEventFilter(&spy);

  Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->setText(QStringLiteral("2000"));
  Item<QPushButton>(*dlg, IDC_READ_ARCHIVE)->click();
  QtLinkOwner owner(dlg.get());
  owner.PostLinkFrame(test::PointerReply(2000));
  owner.PostLinkFrame(test::EmptyCellsReply({}, {}));
  for (int record = 1; record <= 10; ++record) {
    owner.PostLinkFrame(test::RecordReply(test::RecordImage({})));
    ASSERT_TRUE(PumpUntil([&] { return spy.painted == record; }, 2000))
        << "record " << record << ": the bar last showed " << spy.painted;
  }
  EXPECT_EQ(bar->maximum(), 2000);
}

struct FilterCase {
  const char* name;
  std::string bar;
  QStringList qt;
};

class NameFilters : public ::testing::TestWithParam<FilterCase> {};

TEST_P(NameFilters, BarFormBecomesQtFilters) { EXPECT_EQ(QtNameFilters(GetParam().bar), GetParam().qt); }

INSTANTIATE_TEST_SUITE_P(
    Cases, NameFilters,
    ::testing::Values(
        FilterCase{"Spreadsheet", "Results Files (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx| All Files (*.*)|*.*||",
                   {"Results Files (*.xls)", "Excel Workbook (*.xlsx)", " All Files (*)"}},
        FilterCase{"Report", "Results Files (*.doc)|*.doc| All Files (*.*)|*.*||",
                   {"Results Files (*.doc)", " All Files (*)"}},
        FilterCase{"NoParensInText", "Text|*.txt;*.log||", {"Text (*.txt *.log)"}},
        FilterCase{"Empty", "", {}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

// The real save dialog for the spreadsheet, answered as an operator would:
// the .xls is offered first; picking the workbook, the second type, renames
// the proposal and gives a name typed without an extension the .xlsx.
class SpreadsheetSaveDialog : public ::testing::TestWithParam<bool> {};

TEST_P(SpreadsheetSaveDialog, TheWorkbookIsTheSecondChoice) {
  const bool pickWorkbook = GetParam();
  const SaveRequest request = MakeSaveRequest(1, std::time(nullptr));
  const QString proposal = QString::fromLatin1(request.proposedName);
  ASSERT_TRUE(proposal.endsWith(QLatin1String(".xls")));

  QtSaveDialog ask(nullptr);
  std::optional<std::string> path;
  CloseNextModal([&] { path = ask.AskSavePath(request); },
                 [&](QWidget* modal) {
                   auto* dialog = qobject_cast<QFileDialog*>(modal);
                   auto* types = modal->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
                   auto* name = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                   ASSERT_TRUE(dialog && types && name) << "not the widget-based file dialog";
                   EXPECT_EQ(dialog->nameFilters().join(QLatin1Char('|')).toStdString(),
                             "Results Files (*.xls)|Excel Workbook (*.xlsx)|All Files (*)");
                   EXPECT_EQ(dialog->selectedNameFilter().toStdString(), "Results Files (*.xls)");
                   EXPECT_EQ(name->text(), proposal);
                   if (pickWorkbook) {
                     types->setFocus();
                     QTest::keyClick(types, Qt::Key_Down);
                   }
                   EXPECT_EQ(name->text(), pickWorkbook ? proposal.chopped(4) + QStringLiteral(".xlsx") : proposal);
                   name->setText(QStringLiteral("plain"));
                   QTest::keyClick(name, Qt::Key_Return);
                 });
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(QFileInfo(QFile::decodeName(path->c_str())).fileName().toStdString(),
            pickWorkbook ? "plain.xlsx" : "plain.xls");
  EXPECT_EQ(ask.ChosenFilter(), pickWorkbook ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpreadsheetSaveDialog, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "WorkbookPicked" : "XlsKept"); });

// Two downloads in one run: the second save dialog opens in the folder the
// first one saved to, and the program's current folder stays where it was.
TEST_F(WindowTest, SaveDialogOpensInTheFolderSavedToLast) {
  const QString startFolder = QDir::currentPath();
  testing::ScratchFolder elsewhere;
  auto dlg = MakeShownDialog();
  QtLinkOwner owner(dlg.get());
  Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->setText(QStringLiteral("1"));
  QStringList openedIn;  // the folder each save dialog showed first
  for (int run = 1; run <= 2; ++run) {
    const std::string file = elsewhere.file("run" + std::to_string(run) + ".doc");
    Item<QPushButton>(*dlg, IDC_READ_ARCHIVE)->click();
    CloseNextModal(
        [&] {
          for (const auto& frame : {test::PointerReply(1), test::EmptyCellsReply({}, {}),
                                    test::RecordReply(test::RecordImage({})), test::RecordReply(test::RecordImage({}))})
            owner.PostLinkFrame(frame);
          PumpUntil([&] { return testing::Exists(file); }, 5000);
        },
        [&](QWidget* modal) {
          auto* dialog = qobject_cast<QFileDialog*>(modal);
          auto* name = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
          ASSERT_TRUE(dialog && name) << "not the widget-based file dialog";
          openedIn << dialog->directory().absolutePath();
          name->setText(QString::fromStdString(file));
          QTest::keyClick(name, Qt::Key_Return);
        });
    ASSERT_TRUE(testing::Exists(file));
  }
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(openedIn.join(QLatin1Char('|')),
            startFolder + QLatin1Char('|') + QDir(QString::fromStdString(elsewhere.path())).absolutePath());
  dlg->close();
  EXPECT_EQ(QDir::currentPath(), startFolder);
  EXPECT_EQ(ReadFile(SettingsFilePath()), "[Velorix - 5]\nCOM Port 1_4= 2 \n");
}

// A save dialog that gives its answers in turn: a path, or nothing (Cancel).
struct AnswersInTurn : SaveDialog {
  std::vector<std::optional<std::string>> answers;
  std::size_t asked = 0;
  std::optional<std::string> AskSavePath(const SaveRequest&) override { return answers.at(asked++); }
};

// A file that can't be written is told and the save dialog comes again, so
// the download is not lost; given up, the status line and the bar say so.
TEST_F(WindowTest, AFailedWriteOffersTheSaveDialogAgain) {
  testing::ScratchFolder folder;
  for (const bool giveUp : {true, false}) {
    boxes.clear();
    AnswersInTurn dialog;
    dialog.answers = {folder.file("missing/r.doc"), giveUp ? std::nullopt : std::optional(folder.file("r.doc"))};
    auto dlg = MakeDialog();
    dlg->SetSaveDialog(&dialog);
    QtLinkOwner owner(dlg.get());
    Item<QLineEdit>(*dlg, IDC_SAMPLE_COUNT)->setText(QStringLiteral("1"));
    Item<QPushButton>(*dlg, IDC_READ_ARCHIVE)->click();
    for (const auto& frame : {test::PointerReply(1), test::EmptyCellsReply({}, {}),
                              test::RecordReply(test::RecordImage({})), test::RecordReply(test::RecordImage({}))})
      owner.PostLinkFrame(frame);
    ASSERT_TRUE(PumpUntil([&] { return dialog.asked == 2; }, 5000));
    EXPECT_EQ(Item<QLabel>(*dlg, IDC_STATUS)->text().toStdString(), giveUp ? NO_FILE_WRITTEN_TEXT : FILE_WRITTEN_TEXT);
    EXPECT_EQ(Item<QProgressBar>(*dlg, IDC_PROGRESS)->value(), 0);
    EXPECT_EQ(boxes.size(), 1u);  // "The file ... was not written: No such file or directory"
    EXPECT_EQ(testing::Exists(folder.file("r.doc")), !giveUp);
  }
}

// A settings file that can't be used (here a folder) is told at the close in
// a box too: started from the menu, nobody reads standard error.
TEST_F(WindowTest, AnUnusableSettingsFileIsToldInABoxAtTheClose) {
  std::filesystem::create_directory(SettingsFilePath());
  auto dlg = MakeDialog();
  dlg->show();
  dlg->close();
  std::filesystem::remove(SettingsFilePath());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.startsWith(QStringLiteral("The settings file "))) << boxes[0].text.toStdString();
}

}  // namespace
}  // namespace velorix
