#pragma once

// The main window: the clock, the number of samples with its up-down
// control, the format check box, the "Reading archive" button, the progress
// bar and the status line. It owns the link, starts it on the first clock
// tick, shows the worker's status texts and feeds the worker's frames to the
// archive download, and stores the link's port number when it goes.

#include <QDialog>
#include <QMessageBox>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "archive/archive_download.h"
#include "archive/archive_record.h"
#include "archive/results_file.h"
#include "link/device_link.h"
#include "qt_window/qt_window_adapters.h"
#include "shell/download_history.h"
#include "shell/window_logic.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;

namespace Ui {
class MainDialog;
}

namespace velorix {

class ClockFace;
class UpDownControl;

class CArchiveDlg : public QDialog, private DownloadView {
  Q_OBJECT

 public:
  using LinkFactory = std::function<std::unique_ptr<CDeviceLink>()>;
  // The local time now, or nothing when it can't be had.
  using LocalTimeSource = std::function<std::optional<std::tm>()>;
  // Shows a box with an OK button and waits until it is closed.
  using MessageBoxPresenter =
      std::function<void(QWidget* owner, const QString& caption, const QString& text, QMessageBox::Icon icon)>;

  // makeLink: where the link comes from; by default a CDeviceLink on the real
  // serial ports.
  explicit CArchiveDlg(QWidget* parent = nullptr, LinkFactory makeLink = {});
  ~CArchiveDlg() override;
  CArchiveDlg(const CArchiveDlg&) = delete;
  CArchiveDlg& operator=(const CArchiveDlg&) = delete;

  int sampleCount = 0;
  int exportExcel = 0;
  std::unique_ptr<CDeviceLink> deviceLink;
  UpDownControl* sampleSpin = nullptr;
  int portSetting = 0;
  QIcon icon;

  // The window's own status text, shown after each status text of the worker.
  static std::string statusSuffix;
  // 1 until the first clock tick has started the link.
  static int firstTick;
  static const char* const* const monthNames;
  // The About item's text; empty adds no item.
  static QString aboutBoxString;

  // Shows the window as the program's main window (an ordinary top-level
  // window, not modal) and runs until it has closed; returns its result.
  int RunAsMainWindow();

  bool OnInitDialog();
  void OnTimer(int timerId);
  int OnLinkFrame(const std::uint8_t* frame, int length);
  int OnLinkStatus(const std::string& text);
  void OnReadArchive();
  // "Read new records": the records stored since the last download.
  void OnReadNewRecords();
  void OnSampleCountChange();
  void OnVScroll();
  void OnExportExcel();
  void OnSysCommand(int commandId);
  void OnDestroy();

  // The two clock lines for a local time, or for none.
  static std::string ClockLine1(const std::tm* local);
  static std::string ClockLine2(const std::tm* local);
  // What the clock shows now (empty before the first tick).
  const std::string& ClockText(int line) const { return clockLines_[line == 0 ? 0 : 1]; }

  // Controls by identifier.
  QWidget* GetDlgItem(int id) const;
  QMenu* SystemMenu() const { return systemMenu_; }
  ArchiveDownload& Download() { return *download_; }
  const DownloadStore& Store() const { return *store_; }

  // Seams for tests and tools.
  void SetLocalTimeSource(LocalTimeSource source) { localTime_ = std::move(source); }
  void SetSaveDialog(SaveDialog* dialog) { saveDialog_ = dialog; }
  void SetMessageBoxPresenter(MessageBoxPresenter presenter) { presentBox_ = std::move(presenter); }
  static QString MessageBoxCaption();

  void setVisible(bool visible) override;
  // Closes the window for a signal: as its close button does, but without
  // waiting for the operator.
  void CloseForSignal();

 protected:
  void timerEvent(QTimerEvent* event) override;
  void customEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 public slots:
  void done(int result) override;

 private:
  // DownloadView: what the archive download uses of the window.
  void SetProgressRange(int low, int high) override;
  void SetProgressPos(int pos) override;
  void SetStatusSuffix(const std::string& suffix) override;
  void ShowMessageBox(const std::string& text) override;
  void WriteResultsFile(int sampleCount) override;
  void DownloadComplete(const CompletedDownload& download) override;
  void ReadingWholeArchive(WholeArchiveReason reason) override;
  void ShowEnd(const char* text);

  // Keeps the normal cursor while a box or dialog waits for the operator.
  class OperatorWait;

  void ShowBox(const QString& text, QMessageBox::Icon icon);
  unsigned GetDlgItemInt(int id) const;
  void SetDlgItemInt(int id, unsigned value);
  void SetWaitCursor(bool on);
  void ShowPortTried(const PortTriedEvent& tried);
  void ShowCursor();
  void FollowFocus(QWidget* old);
  void ShowEditMenu(QLineEdit* edit, const QPoint& globalPos);

  std::unique_ptr<Ui::MainDialog> ui_;
  ClockFace* clockFace_ = nullptr;
  QMenu* systemMenu_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QAction* readNewAction_ = nullptr;
  QMetaObject::Connection focusWatch_;
  QtLinkOwner linkOwner_;
  std::unique_ptr<DownloadStore> store_;
  std::unique_ptr<ArchiveDownload> download_;
  int clockTimerId_ = 0;
  std::string clockLines_[2];
  LocalTimeSource localTime_;
  QtSaveDialog fileDialog_;  // one for the run: it remembers the last folder
  SaveDialog* saveDialog_ = nullptr;
  MessageBoxPresenter presentBox_;
  bool scanCursor_ = false;   // the link asks for the wait cursor
  int operatorWaits_ = 0;     // boxes and dialogs open for the operator
  bool waitCursorShown_ = false;
  bool gone_ = false;      // the modal run has ended: link notices are dropped
  std::string settingsNotice_;  // why the settings file is not used, found at the start
  bool quietClose_ = false;  // no box at the close: for a signal, or destroyed unclosed
  std::unique_ptr<DownloadHistory> history_;  // beside the settings file
  bool historyKept_ = true;    // the last download's records are in the history
  std::string portText_;       // "COM2 (/dev/ttyUSB0)" where the instrument answered
  bool centred_ = false;
};

}  // namespace velorix
