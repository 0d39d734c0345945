#pragma once

#include <QImage>
#include <QWidget>

#include "platform/system/RunningApplications.h"
#include "ui/Motion.h"

namespace tobble::ui {

// An application's icon at 24 × 24 with 5 pt rounded corners, from the metadata's icon handle:
// the desktop's icon theme, an image file, a generated letter tile, or the "app.fill" placeholder.
// Drawn at 40 % opacity while the application is muted.
class AppIconView : public QWidget {
  public:
    explicit AppIconView(QWidget* parent = nullptr);

    void setIcon(const system::IconHandle& icon);
    void setDimmed(bool dimmed);
    // True when the handle gave no image and the placeholder is drawn.
    bool showsPlaceholder() const {
        return image_.isNull() && icon_.kind != system::IconHandle::Kind::LetterTile;
    }
    double shownOpacity() const { return opacity_.target(); }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    system::IconHandle icon_;
    QImage image_;
    AnimatedValue opacity_;
};

}  // namespace tobble::ui
