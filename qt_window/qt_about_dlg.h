#pragma once

// The About box: the program's icon, its name and version, and OK.

#include <QDialog>

#include <memory>

namespace Ui {
class AboutDialog;
}

namespace velorix {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

  // "Quorvel V" and the first two parts of the file version.
  static QString VersionText();

 private:
  std::unique_ptr<Ui::AboutDialog> ui_;
};

}  // namespace velorix
