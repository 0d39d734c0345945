#include "ui/Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "ui/ContentView.h"
#include "ui/Controls.h"
#include "ui/SettingsView.h"

namespace tobble::ui {

namespace {

// A volume slider in percent, as the panel shows it next to the slider (up to 200 % where volume
// above 100 % is allowed): the steps are the slider's own resolution, not something a listener
// should hear.
class SliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
  public:
    explicit SliderAccessible(Slider* slider) : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text which) const override {
        if (which == QAccessible::Value) return QStringLiteral("%1%").arg(percent());
        return QAccessibleWidget::text(which);
    }

    QVariant currentValue() const override { return percent(); }
    // A screen reader's change is the user's own, as a key press would be.
    void setCurrentValue(const QVariant& value) override {
        const double percent = std::clamp(value.toDouble(), 0.0, maximumPercent());
        slider()->setValue(static_cast<int>(std::lround(percent * Slider::kSteps / 100.0)));
    }
    QVariant maximumValue() const override { return maximumPercent(); }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

  private:
    Slider* slider() const { return static_cast<Slider*>(widget()); }
    int percent() const {
        return static_cast<int>(std::lround(slider()->value() * 100.0 / Slider::kSteps));
    }
    // 100, or 200 where volume above 100 % is allowed.
    double maximumPercent() const { return std::round(slider()->maximumF() * 100.0); }
};

// An icon tile drawn as a button but neither focusable nor clickable: a picture beside the text
// that says the same.
bool isDecoration(const PaintedButton* button) {
    return button->focusPolicy() == Qt::NoFocus &&
           button->testAttribute(Qt::WA_TransparentForMouseEvents);
}

// Every painted button: a push button, a check box while checkable (the mute buttons), a radio
// button when it is one exclusive choice of several (the output devices), with expanded or
// collapsed when it heads a section, and an image when it is only decoration.
class ButtonAccessible : public QAccessibleWidget {
  public:
    explicit ButtonAccessible(PaintedButton* button) : QAccessibleWidget(button) {}

    QAccessible::Role role() const override {
        const PaintedButton* b = button();
        if (isDecoration(b)) return QAccessible::Graphic;
        if (!b->isCheckable()) return QAccessible::Button;
        return b->isExclusiveChoice() ? QAccessible::RadioButton : QAccessible::CheckBox;
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        const PaintedButton* b = button();
        if (isDecoration(b)) return state;
        state.pressed = b->isDown();
        if (b->isCheckable()) {
            state.checkable = true;
            state.checked = b->isChecked();
        }
        if (const auto expanded = b->expanded()) {
            state.expandable = true;
            state.expanded = *expanded;
            state.collapsed = !*expanded;
        }
        return state;
    }

    QStringList actionNames() const override {
        if (isDecoration(button())) return {};
        const QString press = button()->isCheckable() ? toggleAction() : pressAction();
        return QStringList{press} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name == pressAction() || name == toggleAction()) {
            button()->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

  private:
    PaintedButton* button() const { return static_cast<PaintedButton*>(widget()); }
};

// A pane under a name of its own when the widget has no accessible name set.
class PaneAccessible : public QAccessibleWidget {
  public:
    PaneAccessible(QWidget* widget, QString name)
        : QAccessibleWidget(widget, QAccessible::Pane), name_(std::move(name)) {}
    QString text(QAccessible::Text which) const override {
        const QString text = QAccessibleWidget::text(which);
        return which == QAccessible::Name && text.isEmpty() ? name_ : text;
    }

  private:
    QString name_;
};

QAccessibleInterface* describe(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) return nullptr;
    if (className == QLatin1String("tobble::ui::Slider"))
        return new SliderAccessible(static_cast<Slider*>(widget));
    if (className == QLatin1String("QAbstractButton")) {
        if (auto* button = dynamic_cast<PaintedButton*>(widget))
            return new ButtonAccessible(button);
        return nullptr;
    }
    // Classes without a meta-object of their own reach here under their Qt base's name.
    if (className != QLatin1String("QWidget")) return nullptr;
    if (dynamic_cast<TextView*>(widget) || dynamic_cast<KeyCapView*>(widget))
        return new QAccessibleWidget(widget, QAccessible::StaticText);
    if (dynamic_cast<ContentView*>(widget)) return new PaneAccessible(widget, "Tobble");
    if (dynamic_cast<SettingsView*>(widget)) return new PaneAccessible(widget, "Settings");
    // The panel and the first-run guide are plain widgets made windows: windows, not fillers.
    if (widget->isWindow()) return new QAccessibleWidget(widget, QAccessible::Window);
    return nullptr;
}

}  // namespace

void installAccessibility() { QAccessible::installFactory(&describe); }

void moveFocusTo(QWidget* control) {
    if (!control) return;
    const bool hadFocus = control->hasFocus();
    control->setFocus(Qt::TabFocusReason);
    // Qt reports a focus change itself; a control that kept the focus while the view changed
    // around it is reported here, so the screen reader says where the user now is.
    if (hadFocus) {
        QAccessibleEvent event(control, QAccessible::Focus);
        QAccessible::updateAccessibility(&event);
    }
}

}  // namespace tobble::ui
