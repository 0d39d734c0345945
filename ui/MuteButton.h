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
    // What the button mutes, for its accessible name ("Mute Firefox"); the muted state is the
    // button's checked state, not part of its name.
    void setSubject(const QString& subject);

  protected:
    // The checked state follows the model through setMuted, never the click itself.
    void nextCheckState() override {}

  private:
    bool muted_ = false;
    AnimatedValue mutedAmount_;
};

}  // namespace tobble::ui
