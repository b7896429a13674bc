#include "qt_window/qt_about_dlg.h"

#include <QIcon>
#include <QPushButton>

#include "ui_about_dialog.h"
#include "version.h"

namespace velorix {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::AboutDialog>()) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(size());
  const QIcon icon = parent ? parent->windowIcon() : QIcon(QStringLiteral(":/velorix/velorix-32.xpm"));
  ui_->aboutIcon->setPixmap(icon.pixmap(QSize(32, 32)));
  ui_->aboutVersion->setText(VersionText());
  connect(ui_->IDOK, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;

QString CAboutDlg::VersionText() {
  const QStringList parts = QString::fromLatin1(VELORIX_FILE_VERSION).split(QLatin1Char('.'));
  return QStringLiteral("Quorvel V") + parts.mid(0, 2).join(QLatin1Char('.'));
}

}  // namespace velorix
