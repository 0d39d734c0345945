#pragma once

#include "ui/Controls.h"

namespace tobble::ui {

// The speaker button of the system-volume row and of every app row: a 32 × 32 hit area with a
// 24 × 24 tile that turns red and shows a crossed speaker while muted, on a spring.
class MuteButton : public PaintedButton {
  public:
    explicit MuteButton(QWidget* parent = nullptr);

    bool isMuted() const { return muted_; }
    void setMuted(bool muted);

  private:
    bool muted_ = false;
    AnimatedValue mutedAmount_;
};

}  // namespace tobble::ui
