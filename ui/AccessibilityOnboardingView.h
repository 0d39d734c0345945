#pragma once

#include <QWidget>
#include <functional>

#include "platform/dispatch/Dispatcher.h"
#include "ui/PanelContext.h"

class QVBoxLayout;

namespace tobble::ui {

class PaintedButton;

enum class StepStatus { pending, enabled, skipped };

// The first-run guide: accessibility for the shortcut, launch at login, automatic updates, then
// a confirmation. Choices are only applied on "Confirm", together, once.
class AccessibilityOnboardingView : public QWidget {
  public:
    AccessibilityOnboardingView(ShellHooks& shell, dispatch::Dispatcher& dispatcher,
                                std::function<void()> onDismiss, QWidget* parent = nullptr);
    ~AccessibilityOnboardingView() override;

    int activeStep() const { return activeStep_; }
    StepStatus stepStatus(int step) const;
    void advanceTo(int step);

    // The headers of the collapsed steps (null for the active one), and whether each reacts.
    PaintedButton* stepHeader(int step) const;
    // The active step's buttons and texts.
    PaintedButton* primaryButton() const { return primary_; }
    PaintedButton* secondaryButton() const { return secondary_; }
    QString primaryTitle() const { return primaryTitle_; }
    QString secondaryTitle() const { return secondaryTitle_; }
    PaintedButton* confirmButton() const { return confirm_; }
    PaintedButton* backButton() const { return back_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void rebuild();
    QWidget* buildHeader(int step);
    QWidget* buildContent(int step);
    QWidget* buildFooter();
    void primaryAction();
    void secondaryAction();
    void grantChanged(bool granted);
    void applyChoicesAndDismiss();

    ShellHooks& shell_;
    dispatch::Dispatcher& dispatcher_;
    std::function<void()> onDismiss_;
    int activeStep_ = 1;
    StepStatus status_[3] = {StepStatus::pending, StepStatus::pending, StepStatus::pending};
    bool polling_ = false;
    QVBoxLayout* column_;
    PaintedButton* headers_[3] = {nullptr, nullptr, nullptr};
    PaintedButton* primary_ = nullptr;
    PaintedButton* secondary_ = nullptr;
    PaintedButton* confirm_ = nullptr;
    PaintedButton* back_ = nullptr;
    QString primaryTitle_;
    QString secondaryTitle_;
    Subscription grantSubscription_;
    std::shared_ptr<bool> alive_;
};

}  // namespace tobble::ui
