#include "qt_window/qt_up_down_control.h"

#include <QToolButton>

#include <algorithm>

namespace velorix {

UpDownControl::UpDownControl(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
  for (QToolButton* button : {up_, down_}) {
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRepeat(true);
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  up_->setAccessibleName(QStringLiteral("Up"));
  down_->setAccessibleName(QStringLiteral("Down"));
  connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void UpDownControl::SetRange32(int low, int high) {
  low_ = std::min(low, high);
  high_ = std::max(low, high);
  pos_ = std::clamp(pos_, low_, high_);
}

void UpDownControl::SetPos(int pos) { pos_ = std::clamp(pos, low_, high_); }

void UpDownControl::Step(int delta) {
  pos_ = std::clamp(pos_ + delta, low_, high_);
  emit scrolled();
}

void UpDownControl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace velorix
