#pragma once

// What stands between the window and the core: the link's notices become
// posted Qt events, and the results writer's save dialog is a QFileDialog.

#include <QEvent>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/results_file.h"
#include "link/link_owner.h"

class QObject;
class QWidget;

namespace velorix {

// WM_LINK_FRAME: a checked frame, or no bytes when the link gave up.
class LinkFrameEvent : public QEvent {
 public:
  explicit LinkFrameEvent(std::vector<std::uint8_t> bytes);
  std::vector<std::uint8_t> frame;
};

// WM_LINK_STATUS and the worker's message boxes: a text of the worker's own.
class LinkTextEvent : public QEvent {
 public:
  LinkTextEvent(QEvent::Type type, std::string text, MessageBoxKind kind = MessageBoxKind::Plain);
  std::string text;
  MessageBoxKind kind;
};

class WaitCursorEvent : public QEvent {
 public:
  explicit WaitCursorEvent(bool on);
  bool on;
};

// One try of the port scan: the COM number, its device and what came of it;
// with WM_LINK_PORT_GONE, the port in use that has gone.
class PortTriedEvent : public QEvent {
 public:
  PortTriedEvent(int portNumber, std::string device, std::string outcome, QEvent::Type type);
  int portNumber;
  std::string device;
  std::string outcome;
};

// The link's owner for the window. Called on the worker's thread; each notice
// is posted to the target object, in the order the worker made them. After
// Detach() (the window is going) notices are dropped.
class QtLinkOwner : public LinkOwner {
 public:
  explicit QtLinkOwner(QObject* target);
  void Detach();

  void PostLinkFrame(std::vector<std::uint8_t> frame) override;
  void PostLinkStatus(std::string text) override;
  void PostMessageBox(std::string text, MessageBoxKind kind) override;
  void SetWaitCursor(bool on) override;
  void PortTried(int portNumber, const std::string& device, const std::string& outcome) override;
  void PortGone(int portNumber, const std::string& device) override;

 private:
  void Post(QEvent* event);

  std::mutex mutex_;
  QObject* target_;
};

// The filter text of the classic form ("Text (*.x)|*.x| All Files (*.*)|*.*||")
// as Qt name filters: one entry per pair, the pattern list in the display
// text's trailing parentheses (added when it has none), ';' between patterns
// becoming blanks and "*.*" becoming "*" (any name, with or without a dot).
QStringList QtNameFilters(const std::string& barFilter);

// Asks with a modal QFileDialog in save mode: proposed name, filters, default
// suffix, and a question before an existing file is replaced. Choosing a
// filter with an extension makes it the one added to a name typed without.
// The first dialog opens in the current folder, each later one in the
// folder chosen last.
class QtSaveDialog : public SaveDialog {
 public:
  explicit QtSaveDialog(QWidget* parent);
  std::optional<std::string> AskSavePath(const SaveRequest& request) override;
  int ChosenFilter() const override { return chosenFilter_; }

 private:
  QPointer<QWidget> parent_;
  int chosenFilter_ = 0;
  QString folder_;
};

}  // namespace velorix
