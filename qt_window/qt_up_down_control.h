#pragma once

// A small up-down control: two arrow buttons and a position kept inside a
// range, without a text of its own (the window's edit box beside it shows
// the number). Each arrow press moves the position by one, stopping at the
// ends (no wrap-around), and then reports `scrolled`, also when the position
// could not move. Setting the position from code reports nothing.

#include <QWidget>

class QToolButton;

namespace velorix {

class UpDownControl : public QWidget {
  Q_OBJECT

 public:
  explicit UpDownControl(QWidget* parent = nullptr);

  void SetRange32(int low, int high);
  // A value outside the range is replaced by the nearer end.
  void SetPos(int pos);
  int GetPos32() const { return pos_; }

  QToolButton* UpButton() const { return up_; }
  QToolButton* DownButton() const { return down_; }

 signals:
  void scrolled();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Step(int delta);

  QToolButton* up_;
  QToolButton* down_;
  int low_ = 0;
  int high_ = 100;
  int pos_ = 0;
};

}  // namespace velorix
