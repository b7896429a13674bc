#include "qt_window/qt_window_adapters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

#include "qt_window/qt_window_ids.h"

namespace velorix {

LinkFrameEvent::LinkFrameEvent(std::vector<std::uint8_t> bytes)
    : QEvent(WM_LINK_FRAME), frame(std::move(bytes)) {}

LinkTextEvent::LinkTextEvent(QEvent::Type type, std::string t, MessageBoxKind k)
    : QEvent(type), text(std::move(t)), kind(k) {}

WaitCursorEvent::WaitCursorEvent(bool o) : QEvent(WM_LINK_WAIT_CURSOR), on(o) {}

PortTriedEvent::PortTriedEvent(int n, std::string d, std::string o, QEvent::Type type)
    : QEvent(type), portNumber(n), device(std::move(d)), outcome(std::move(o)) {}

QtLinkOwner::QtLinkOwner(QObject* target) : target_(target) {}

void QtLinkOwner::Detach() {
  std::lock_guard lock(mutex_);
  target_ = nullptr;
}

void QtLinkOwner::Post(QEvent* event) {
  std::lock_guard lock(mutex_);
  if (target_ == nullptr) {
    delete event;
    return;
  }
  QCoreApplication::postEvent(target_, event);
}

void QtLinkOwner::PostLinkFrame(std::vector<std::uint8_t> frame) { Post(new LinkFrameEvent(std::move(frame))); }

void QtLinkOwner::PostLinkStatus(std::string text) { Post(new LinkTextEvent(WM_LINK_STATUS, std::move(text))); }

void QtLinkOwner::PostMessageBox(std::string text, MessageBoxKind kind) {
  Post(new LinkTextEvent(WM_LINK_MESSAGE_BOX, std::move(text), kind));
}

void QtLinkOwner::SetWaitCursor(bool on) { Post(new WaitCursorEvent(on)); }

void QtLinkOwner::PortTried(int portNumber, const std::string& device, const std::string& outcome) {
  Post(new PortTriedEvent(portNumber, device, outcome, WM_LINK_PORT_TRIED));
}

void QtLinkOwner::PortGone(int portNumber, const std::string& device) {
  Post(new PortTriedEvent(portNumber, device, "gone", WM_LINK_PORT_GONE));
}

QStringList QtNameFilters(const std::string& barFilter) {
  const QStringList parts = QString::fromLatin1(barFilter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString display = parts[i];
    if (display.isEmpty()) break;  // the closing "||"
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns) {
      pattern = pattern.trimmed();
      if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
    }
    const QString list = patterns.join(QLatin1Char(' '));
    static const QRegularExpression trailingParens(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    QString text = display;
    text.remove(trailingParens);
    filters << text + QStringLiteral(" (") + list + QLatin1Char(')');
  }
  return filters;
}

namespace {

// "xlsx" for "Excel Workbook (*.xlsx)"; empty for a filter that takes any name.
QString FilterExtension(const QString& filter) {
  static const QRegularExpression firstPattern(QStringLiteral("\\(\\*\\.([^ .*()]+)[ )]"));
  const QRegularExpressionMatch match = firstPattern.match(filter);
  return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

QtSaveDialog::QtSaveDialog(QWidget* parent) : parent_(parent), folder_(QDir::currentPath()) {}

std::optional<std::string> QtSaveDialog::AskSavePath(const SaveRequest& request) {
  QFileDialog dialog(parent_, QString(), folder_);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  const QStringList filters = QtNameFilters(request.filter);
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(QString::fromLatin1(request.defaultExtension));
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (!request.proposedName.empty()) dialog.selectFile(QString::fromLatin1(request.proposedName));
  // The dialog itself swaps the proposal's extension when another type is
  // chosen; a name typed without one gets the chosen type's too.
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    if (const QString extension = FilterExtension(filter); !extension.isEmpty()) dialog.setDefaultSuffix(extension);
  });
  chosenFilter_ = 0;
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  // The dialog may hand the filter back without the blank the form starts the
  // all-files entry with.
  for (qsizetype i = 0; i < filters.size(); ++i)
    if (filters[i].trimmed() == dialog.selectedNameFilter().trimmed()) chosenFilter_ = static_cast<int>(i);
  const QString chosen = dialog.selectedFiles().front();
  folder_ = QFileInfo(chosen).absolutePath();
  return std::string(QFile::encodeName(chosen).constData());
}

}  // namespace velorix
