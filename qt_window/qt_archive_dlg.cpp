#include "qt_window/qt_archive_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QCursor>
#include <QEventLoop>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <QTimerEvent>

#include <climits>
#include <cstdio>

#include "qt_window/qt_about_dlg.h"
#include "shell/port_devices.h"
#include "shell/settings.h"
#include "qt_window/qt_up_down_control.h"
#include "qt_window/qt_window_ids.h"
#include "ui_main_dialog.h"

// The icon lives in the window library's resources, which a static library
// has to register itself (from outside any namespace).
static void InitVelorixResources() { Q_INIT_RESOURCE(velorix); }

namespace velorix {

// Paints the clock's two lines over the IDC_CLOCK edit box. It covers the
// box's client area (inside its frame), lets the mouse through, and paints
// the whole face on every update, so the previous text is always wiped.
class ClockFace : public QWidget {
 public:
  ClockFace(QLineEdit* box, const std::string* lines) : QWidget(box), box_(box), lines_(lines) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    box->installEventFilter(this);
    Follow();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == box_ && event->type() == QEvent::Resize) Follow();
    return false;
  }

  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setFont(box_->font());
    painter.setPen(box_->palette().color(QPalette::Text));
    const int ascent = painter.fontMetrics().ascent();
    painter.drawText(QPoint(4, 0 + ascent), QString::fromLatin1(lines_[0]));
    painter.drawText(QPoint(1, 15 + ascent), QString::fromLatin1(lines_[1]));
  }

 private:
  void Follow() {
    QStyleOptionFrame option;
    option.initFrom(box_);
    const int frame = box_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box_);
    setGeometry(box_->rect().adjusted(frame, frame, -frame, -frame));
  }

  QLineEdit* box_;
  const std::string* lines_;
};

std::string CArchiveDlg::statusSuffix;
int CArchiveDlg::firstTick = 1;
const char* const* const CArchiveDlg::monthNames = MONTH_NAMES;
QString CArchiveDlg::aboutBoxString = QString::fromLatin1(STRING_ABOUTBOX);

namespace {

std::optional<std::tm> LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return std::nullopt;
  return local;
}

// "%02d": at least two digits, zero padded, the sign counting as a character.
void InitResources() {
  static const bool done = [] {
    InitVelorixResources();
    return true;
  }();
  (void)done;
}

}  // namespace

class CArchiveDlg::OperatorWait {
 public:
  explicit OperatorWait(CArchiveDlg& dlg) : dlg_(dlg) {
    ++dlg_.operatorWaits_;
    dlg_.ShowCursor();
  }
  ~OperatorWait() {
    --dlg_.operatorWaits_;
    dlg_.ShowCursor();
  }
  OperatorWait(const OperatorWait&) = delete;
  OperatorWait& operator=(const OperatorWait&) = delete;

 private:
  CArchiveDlg& dlg_;
};

CArchiveDlg::CArchiveDlg(QWidget* parent, LinkFactory makeLink)
    : QDialog(parent),
      ui_(std::make_unique<Ui::MainDialog>()),
      linkOwner_(this),
      localTime_(LocalTimeNow),
      fileDialog_(this) {
  InitResources();
  icon.addFile(QStringLiteral(":/velorix/velorix-32.xpm"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/velorix/velorix-16.xpm"), QSize(16, 16));
  deviceLink = makeLink ? makeLink()
                        : std::make_unique<CDeviceLink>(PortDevices::FromEnvironment(SettingsFilePath()).Resolver());
  store_ = std::make_unique<DownloadStore>();
  download_ = std::make_unique<ArchiveDownload>(*deviceLink, *store_, static_cast<DownloadView&>(*this));

  ui_->setupUi(this);
  // An application window of its own (its own task-bar entry, transient for
  // nothing) with the template's title-bar buttons: minimise and close.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(size());
  // The template places the framed controls for titles drawn on the frame
  // line. Most styles draw a group box's title above its frame, which puts
  // the frame's top edge under the controls; the classic style draws it on
  // the line, so the controls sit inside the frames.
  if (QStyle* classic = QStyleFactory::create(QStringLiteral("Windows"))) {
    classic->setParent(this);  // made after the group boxes, so deleted after them
    for (QGroupBox* box : findChildren<QGroupBox*>()) box->setStyle(classic);
  }
  sampleSpin = ui_->IDC_SAMPLE_SPIN;
  clockFace_ = new ClockFace(ui_->IDC_CLOCK, clockLines_);
  for (QLineEdit* edit : {ui_->IDC_CLOCK, ui_->IDC_SAMPLE_COUNT}) edit->installEventFilter(this);
  focusWatch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget*) { FollowFocus(old); });

  connect(ui_->IDC_READ_ARCHIVE, &QPushButton::clicked, this, &CArchiveDlg::OnReadArchive);
  connect(ui_->IDC_SAMPLE_COUNT, &QLineEdit::textChanged, this, &CArchiveDlg::OnSampleCountChange);
  connect(ui_->IDC_SAMPLE_SPIN, &UpDownControl::scrolled, this, &CArchiveDlg::OnVScroll);
  connect(ui_->IDC_EXPORT_EXCEL, &QCheckBox::clicked, this, &CArchiveDlg::OnExportExcel);

  OnInitDialog();
}

CArchiveDlg::~CArchiveDlg() {
  // QDialog's destructor hides the window, which moves the focus: by then
  // the controls are gone.
  disconnect(focusWatch_);
  if (!gone_) {
    gone_ = true;
    quietClose_ = true;
    OnDestroy();
  }
  // Stop() returns only when the worker is done; nothing is posted after it.
  deviceLink.reset();
  linkOwner_.Detach();
  SetWaitCursor(false);
}

bool CArchiveDlg::OnInitDialog() {
  // The About item. The window manager's own menu can't be extended, so it
  // ends the context menu of every control instead, and F1 opens it too.
  aboutAction_ = new QAction(aboutBoxString, this);
  aboutAction_->setShortcut(QKeySequence(Qt::Key_F1));
  aboutAction_->setShortcutContext(Qt::WindowShortcut);
  connect(aboutAction_, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
  addAction(aboutAction_);
  readNewAction_ = new QAction(QString::fromLatin1(READ_NEW_RECORDS_TEXT), this);
  connect(readNewAction_, &QAction::triggered, this, [this] { OnSysCommand(IDM_READ_NEW_RECORDS); });
  systemMenu_ = new QMenu(this);
  systemMenu_->addAction(readNewAction_);
  if (!aboutBoxString.isEmpty()) {
    systemMenu_->addSeparator();
    systemMenu_->addAction(aboutAction_);
  }

  setWindowIcon(icon);

  // Told when the window closes (OnDestroy): it has no place for it now.
  settingsNotice_ = SettingsFileNotice();
  portSetting = ReadPortSetting();
  deviceLink->PortNumber(portSetting);
  history_ = std::make_unique<DownloadHistory>(DefaultHistoryPath());

  clockTimerId_ = startTimer(CLOCK_PERIOD_MS);

  sampleSpin->SetRange32(1, 2000);
  sampleCount = 100;
  sampleSpin->SetPos(100);
  exportExcel = 0;
  SetDlgItemInt(IDC_SAMPLE_COUNT, static_cast<unsigned>(sampleCount));

  ui_->IDC_CLOCK->setFocus();
  return true;
}

std::string CArchiveDlg::ClockLine1(const std::tm* local) { return velorix::ClockLine1(local); }

std::string CArchiveDlg::ClockLine2(const std::tm* local) { return velorix::ClockLine2(local); }

void CArchiveDlg::timerEvent(QTimerEvent* event) {
  OnTimer(event->timerId() == clockTimerId_ ? CLOCK_TIMER : -event->timerId());
}

void CArchiveDlg::OnTimer(int timerId) {
  if (timerId != CLOCK_TIMER) return;
  const std::optional<std::tm> local = localTime_ ? localTime_() : std::nullopt;
  clockLines_[0] = ClockLine1(local ? &*local : nullptr);
  clockLines_[1] = ClockLine2(local ? &*local : nullptr);
  clockFace_->repaint();  // wipe and draw at once
  if (firstTick == 1) {
    firstTick = 0;
    deviceLink->Start(&linkOwner_);
  }
}

void CArchiveDlg::customEvent(QEvent* event) {
  switch (static_cast<int>(event->type())) {
    case WM_LINK_FRAME: {
      if (gone_) return;
      // The event owns the bytes for as long as this handler runs, also when
      // the download enters the save dialog's loop and frames arrive there.
      const std::vector<std::uint8_t>& frame = static_cast<LinkFrameEvent*>(event)->frame;
      OnLinkFrame(frame.empty() ? nullptr : frame.data(), static_cast<int>(frame.size()));
      return;
    }
    case WM_LINK_STATUS:
      if (!gone_) OnLinkStatus(static_cast<LinkTextEvent*>(event)->text);
      return;
    case WM_LINK_MESSAGE_BOX: {
      auto* box = static_cast<LinkTextEvent*>(event);
      if (!gone_) {
        ShowBox(QString::fromLatin1(box->text),
                box->kind == MessageBoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon);
      }
      if (deviceLink) deviceLink->MessageBoxClosed();
      return;
    }
    case WM_LINK_WAIT_CURSOR:
      if (!gone_) SetWaitCursor(static_cast<WaitCursorEvent*>(event)->on);
      return;
    case WM_LINK_PORT_TRIED:
      if (!gone_) ShowPortTried(*static_cast<PortTriedEvent*>(event));
      return;
    case WM_LINK_PORT_GONE:
      if (!gone_) {
        const auto* port = static_cast<PortTriedEvent*>(event);
        ui_->IDC_STATUS->setText(QString::fromUtf8(PortGoneText(port->portNumber, port->device)));
      }
      return;
    default:
      QDialog::customEvent(event);
  }
}

int CArchiveDlg::OnLinkFrame(const std::uint8_t* frame, int length) {
  return download_->OnLinkFrame(frame, length);
}

// The status line keeps its exact text; the device behind the COM number
// goes into its tooltip.
void CArchiveDlg::ShowPortTried(const PortTriedEvent& tried) {
  QString tip = QStringLiteral("COM%1: ").arg(tried.portNumber);
  tip += tried.device.empty() ? QStringLiteral("no device") : QFile::decodeName(tried.device.c_str());
  if (tried.outcome != "ok") tip += QStringLiteral(" (%1)").arg(QString::fromStdString(tried.outcome));
  else portText_ = PortLabel(tried.portNumber, tried.device);
  ui_->IDC_STATUS->setToolTip(tip);
}

int CArchiveDlg::OnLinkStatus(const std::string& text) {
  ui_->IDC_STATUS->setText(QString::fromLatin1(StatusLineText(text, statusSuffix)));
  return 0;
}

void CArchiveDlg::OnReadArchive() { download_->OnReadArchive(sampleCount); }

void CArchiveDlg::OnReadNewRecords() {
  const std::optional<DownloadMark> mark = history_->LastMark();
  if (const std::string notice = history_->TakeNotice(); !notice.empty()) {
    std::fprintf(stderr, "%s\n", notice.c_str());
    ui_->IDC_STATUS->setToolTip(QString::fromStdString(notice));
  }
  download_->OnReadNewRecords(mark);
}

void CArchiveDlg::OnSampleCountChange() {
  sampleCount = static_cast<int>(GetDlgItemInt(IDC_SAMPLE_COUNT));
  // The position travels in 16 bits.
  sampleSpin->SetPos(static_cast<std::int16_t>(sampleCount & 0xFFFF));
}

void CArchiveDlg::OnVScroll() {
  sampleCount = sampleSpin->GetPos32();
  SetDlgItemInt(IDC_SAMPLE_COUNT, static_cast<unsigned>(sampleCount));
}

void CArchiveDlg::OnExportExcel() { exportExcel ^= 1; }

void CArchiveDlg::OnSysCommand(int commandId) {
  if ((commandId & 0xFFF0) == IDM_READ_NEW_RECORDS) OnReadNewRecords();
  if ((commandId & 0xFFF0) == IDM_ABOUTBOX) {
    OperatorWait wait(*this);
    CAboutDlg about(this);
    about.exec();
  }
}

// A settings file that can't be used is told once: on standard error, and
// in a box, since a window started from the menu has nobody reading that.
// Not in a box when the window closes for a signal, or goes without being
// closed: nobody waits for it then.
void CArchiveDlg::OnDestroy() {
  portSetting = deviceLink->PortNumber(-1);
  const std::string writeNotice = WritePortSetting(portSetting);
  const std::string& notice = settingsNotice_.empty() ? writeNotice : settingsNotice_;
  if (notice.empty()) return;
  std::fprintf(stderr, "%s\n", notice.c_str());
  if (!quietClose_) ShowBox(QString::fromStdString(notice), QMessageBox::Warning);
}

void CArchiveDlg::done(int result) {
  QDialog::done(result);
  if (gone_) return;
  gone_ = true;
  if (clockTimerId_ != 0) killTimer(clockTimerId_);
  clockTimerId_ = 0;
  SetWaitCursor(false);
  OnDestroy();
}

void CArchiveDlg::CloseForSignal() {
  quietClose_ = true;
  close();
}

void CArchiveDlg::keyPressEvent(QKeyEvent* event) {
  // Enter ends the run like OK unless a push button has the focus (the
  // button takes Enter itself and never passes it on).
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

int CArchiveDlg::RunAsMainWindow() {
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  loop.exec();
  return result();
}

void CArchiveDlg::setVisible(bool visible) {
  QDialog::setVisible(visible);
  // Showing a dialog makes its first auto-default button the default one for
  // good; "Reading archive" is the default button only while it has the focus.
  if (visible && !ui_->IDC_READ_ARCHIVE->hasFocus()) ui_->IDC_READ_ARCHIVE->setDefault(false);
}

void CArchiveDlg::FollowFocus(QWidget* old) {
  // A button that loses the focus falls back to the dialog's first default
  // button, which is itself here. A popup menu over it keeps its look.
  if (old == ui_->IDC_READ_ARCHIVE && QApplication::activePopupWidget() == nullptr)
    ui_->IDC_READ_ARCHIVE->setDefault(false);
}

void CArchiveDlg::contextMenuEvent(QContextMenuEvent* event) {
  if (!systemMenu_->isEmpty()) systemMenu_->popup(event->globalPos());
}

bool CArchiveDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ContextMenu &&
      (watched == ui_->IDC_CLOCK || watched == ui_->IDC_SAMPLE_COUNT)) {
    ShowEditMenu(static_cast<QLineEdit*>(watched), static_cast<QContextMenuEvent*>(event)->globalPos());
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

// An edit box's own menu, then the About item.
void CArchiveDlg::ShowEditMenu(QLineEdit* edit, const QPoint& globalPos) {
  QMenu* menu = edit->createStandardContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addSeparator();
  menu->addAction(readNewAction_);
  if (!aboutBoxString.isEmpty()) {
    menu->addSeparator();
    menu->addAction(aboutAction_);
  }
  menu->popup(globalPos);
}

void CArchiveDlg::showEvent(QShowEvent* event) {
  if (!centred_) {
    centred_ = true;
    if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
  }
  QDialog::showEvent(event);
}

QWidget* CArchiveDlg::GetDlgItem(int id) const {
  const char* name = ControlName(id);
  return *name ? findChild<QWidget*>(QString::fromLatin1(name)) : nullptr;
}

unsigned CArchiveDlg::GetDlgItemInt(int id) const {
  auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(id));
  return edit ? DlgItemIntFromText(edit->text().toStdString()) : 0;
}

// Sets the text; like the platform's edit box, a set text always counts as a
// change, also when it is the same text.
void CArchiveDlg::SetDlgItemInt(int id, unsigned value) {
  auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(id));
  if (!edit) return;
  const QString text = QString::number(value);
  if (edit->text() == text) {
    if (id == IDC_SAMPLE_COUNT) OnSampleCountChange();
  } else {
    edit->setText(text);
  }
}

void CArchiveDlg::SetWaitCursor(bool on) {
  scanCursor_ = on;
  ShowCursor();
}

// The wait cursor is the port scan's; while a box waits for the operator the
// normal cursor shows, and the wait cursor comes back after it only if the
// scan still runs.
void CArchiveDlg::ShowCursor() {
  const bool wanted = scanCursor_ && operatorWaits_ == 0;
  if (wanted == waitCursorShown_) return;
  if (wanted) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
  waitCursorShown_ = wanted;
}

QString CArchiveDlg::MessageBoxCaption() {
  // The executable's name. (The application name is the desktop entry's.)
  QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
  if (name.isEmpty()) name = QCoreApplication::applicationName();
  return name;
}

void CArchiveDlg::ShowBox(const QString& text, QMessageBox::Icon boxIcon) {
  OperatorWait wait(*this);
  if (presentBox_) {
    presentBox_(this, MessageBoxCaption(), text, boxIcon);
    return;
  }
  QMessageBox box(boxIcon, MessageBoxCaption(), text, QMessageBox::Ok, this);
  box.exec();
}

void CArchiveDlg::SetProgressRange(int low, int high) { ui_->IDC_PROGRESS->setRange(low, high); }

void CArchiveDlg::SetProgressPos(int pos) {
  ui_->IDC_PROGRESS->setValue(pos);
  // QProgressBar repaints only once the value has moved by a whole chunk of
  // the style (9 px of the 297 px groove: 61 records of 2000, three seconds
  // at 9600 baud). The bar is drawn smooth, so let every record show.
  ui_->IDC_PROGRESS->update();
}

void CArchiveDlg::SetStatusSuffix(const std::string& suffix) { statusSuffix = suffix; }

void CArchiveDlg::ShowMessageBox(const std::string& text) { ShowBox(QString::fromLatin1(text), QMessageBox::NoIcon); }

void CArchiveDlg::WriteResultsFile(int count) {
  SaveDialog& dialog = saveDialog_ ? *saveDialog_ : fileDialog_;
  const WriteOutcome outcome = [&] {
    OperatorWait wait(*this);  // the save dialog
    return WriteResultsFileUntilWritten(*store_, count, exportExcel, dialog, [this](const std::string& text) {
      ShowBox(QString::fromStdString(text), QMessageBox::Critical);
    });
  }();
  if (const char* end = DownloadEndText(outcome)) ShowEnd(end);
}

// Kept before the file is written: the records are safe whatever becomes
// of the file. Trouble with the history is told with the download's end.
void CArchiveDlg::DownloadComplete(const CompletedDownload& download) {
  historyKept_ = history_->Keep(*store_, download, portText_, std::time(nullptr)).has_value();
  if (const std::string notice = history_->TakeNotice(); !notice.empty()) {
    std::fprintf(stderr, "%s\n", notice.c_str());
    ui_->IDC_STATUS->setToolTip(QString::fromStdString(notice));
  }
  if (download.count == 0) ShowEnd(NOTHING_NEW_STATUS);
}

void CArchiveDlg::ReadingWholeArchive(WholeArchiveReason reason) {
  statusSuffix = WholeArchiveSuffix(reason);
  ui_->IDC_STATUS->setToolTip(QString::fromStdString(WholeArchiveText(reason)));
}

// The download's end in the status line, also after each later status of
// the worker, and the bar back at the start.
void CArchiveDlg::ShowEnd(const char* text) {
  statusSuffix = historyKept_ ? std::string(text) : WithoutHistory(text);
  ui_->IDC_STATUS->setText(QString::fromLatin1(statusSuffix));
  ui_->IDC_PROGRESS->setValue(0);
}

const char* ControlName(int id) {
  switch (id) {
    case IDC_CLOCK: return "IDC_CLOCK";
    case IDC_STATUS: return "IDC_STATUS";
    case IDC_READ_ARCHIVE: return "IDC_READ_ARCHIVE";
    case IDC_PROGRESS: return "IDC_PROGRESS";
    case IDC_SAMPLE_COUNT: return "IDC_SAMPLE_COUNT";
    case IDC_SAMPLE_SPIN: return "IDC_SAMPLE_SPIN";
    case IDC_EXPORT_EXCEL: return "IDC_EXPORT_EXCEL";
    default: return "";
  }
}

}  // namespace velorix
