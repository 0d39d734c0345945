#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

namespace tobble::shell {

// The floating panel: a frameless, translucent tool window above other windows that opens
// without taking focus from the application in front, hosting the panel content. It keeps its
// centre when the content grows or shrinks. Escape (once it has the keyboard) calls onClose.
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
    // Sizes to fit and centres on `area` (the primary screen's available area).
    void placeCentred(const QRect& area);
    // Sizes to fit, keeping the current centre.
    void refit();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void scheduleRefit();

    bool refitScheduled_ = false;
    QPointer<QWidget> content_;
};

}  // namespace tobble::shell
