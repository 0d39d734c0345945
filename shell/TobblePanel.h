#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/log/Log.h"

namespace tobble::shell {

// The floating panel: a frameless, translucent tool window above other windows, hosting the
// panel content. It takes the keyboard when opened so the shortcut can be followed by Tab and
// the arrows; Tab walks the controls in the order they appear on screen, whatever order the
// rows were made in. It keeps its centre when the content grows or shrinks, and is never taller
// than the screen area it was placed on. Escape calls onClose.
class TobblePanel final : public QWidget {
    Q_OBJECT
  public:
    TobblePanel();
    ~TobblePanel() override;

    std::function<void()> onClose;

    // Hosts `content` (replacing any earlier one) and sizes the panel to fit it.
    void setContent(std::unique_ptr<QWidget> content);
    // Destroys the content: nothing of it runs while the panel is closed.
    void clearContent();
    QWidget* content() const { return content_; }

    // The content's preferred size.
    QSize fittingSize() const;
    // Sizes to fit and centres on `area` (a screen's available area), which also caps its
    // height from now on.
    void placeCentred(const QRect& area);
    // Sizes to fit, keeping the current centre.
    void refit();

    // Without a tray the panel is an ordinary window with a frame, which the user moves and
    // closes (to the background: onClose); with one it floats, frameless, above the others.
    void setWindowed(bool windowed);
    bool isWindowed() const { return windowed_; }
    // Where nothing can watch clicks in other applications (Wayland), the panel closes when it
    // stops being the active window instead.
    void setClosesOnDeactivation(bool closes) { closesOnDeactivation_ = closes; }

    // Makes the panel the active window and puts the focus on its first control.
    void takeKeyboard();
    // The controls Tab visits, top to bottom and left to right as they are on screen.
    QList<QWidget*> controlsInVisualOrder() const;
    void focusFirstControl();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void scheduleRefit();
    QSize cappedSize() const;

    bool refitScheduled_ = false;
    int maximumHeight_ = QWIDGETSIZE_MAX;
    bool windowed_ = false;
    bool closesOnDeactivation_ = false;
    bool focusOnActivation_ = false;
    QPointer<QWidget> content_;
    const log::Logger logger_{"org.tobble.app", "Panel"};
};

}  // namespace tobble::shell
