#pragma once

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "ui/Motion.h"
#include "ui/Theme.h"

namespace tobble::ui {

// A 1 pt line in `border`, full width less `inset` on each side.
class Divider : public QWidget {
  public:
    explicit Divider(int inset = 0, QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    int inset_;
};

// One line of text, elided when it does not fit, read out under its own text.
class TextView : public QWidget {
  public:
    TextView(QString text, double size, Weight weight, QColor color, QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    void setElideMode(Qt::TextElideMode mode) { elide_ = mode; }
    void setAlignment(Qt::Alignment alignment) { alignment_ = alignment; }
    // Wraps over as many lines as `width` needs instead of eliding; the view then has that
    // width and the height of its lines.
    void setWordWrap(int width);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString text_;
    QColor color_;
    Qt::TextElideMode elide_ = Qt::ElideRight;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
    bool wrap_ = false;
    int wrapWidth_ = 0;
};

// A button drawn by a function: the panel's icon buttons, rows and links. Space and Enter click
// it; a keyboard focus ring shows where Tab has moved. With the icon style it shrinks to 0.9 and
// fades to 0.65 while pressed, on a spring (TobbleIconButtonStyle).
class PaintedButton : public QAbstractButton {
  public:
    struct State {
        bool hovered = false;
        bool pressed = false;
        double hover = 0;  // 0…1, animated
    };
    using Painter = std::function<void(QPainter&, const QRectF&, const State&)>;

    PaintedButton(QSize size, Painter painter, QWidget* parent = nullptr);

    void setIconStyle(bool on) { iconStyle_ = on; }
    void setPainter(Painter painter);
    void setPreferredSize(QSize size);
    // Radius of the focus ring and hover wash.
    void setCornerRadius(double radius) { radius_ = radius; }
    QSize sizeHint() const override { return size_; }
    QSize minimumSizeHint() const override;
    bool isHovered() const { return hovered_; }
    // Makes the button the header of a section it shows and hides: screen readers hear it as
    // expanded or collapsed.
    void setExpanded(bool expanded);
    std::optional<bool> expanded() const { return expanded_; }
    // Makes the button one choice of several, checked while it is the current one: screen
    // readers hear a radio button. Its owner sets the checked state; a click only reports.
    void setExclusiveChoice(bool choice);
    bool isExclusiveChoice() const { return choice_; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void nextCheckState() override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

  private:
    void setPressedLook(bool pressed);

    QSize size_;
    Painter painter_;
    bool iconStyle_ = false;
    bool hovered_ = false;
    bool keyboardFocus_ = false;
    double radius_ = 6;
    std::optional<bool> expanded_;
    bool choice_ = false;
    AnimatedValue pressAmount_;
    AnimatedValue hoverAmount_;
};

// A continuous 0…1 slider drawn in the panel's style: a thin track filled in the tint up to a
// round knob. Arrow keys move it by 1 %, Page Up/Down by 10 %. userValueChanged fires only for
// changes the user makes; editingChanged(true/false) brackets a pointer drag.
class Slider : public QAbstractSlider {
    Q_OBJECT
  public:
    explicit Slider(QWidget* parent = nullptr);

    double valueF() const { return value() / kSteps; }
    // Moves the knob without reporting a user change.
    void setValueF(double value);
    // The value at the right end, 1.0 by default. Above 1.0 a drag that comes near 1.0 stops
    // there, and a tick marks it.
    void setMaximumF(double maximum);
    double maximumF() const { return maximum() / kSteps; }
    void setTint(const QColor& tint);
    QColor tint() const { return tint_; }
    QSize sizeHint() const override { return {100, 20}; }
    QSize minimumSizeHint() const override { return {40, 20}; }

    // Drives the slider as a pointer drag would, in widget coordinates; for tests and scripted
    // snapshots.
    void dragTo(double fraction);
    void releaseDrag();

    // Steps per 1.0 of value.
    static constexpr double kSteps = 1000.0;
    // How near 1.0 a drag must come to stop there: 4 % of the value.
    static constexpr int kDetentSteps = 40;

  signals:
    void userValueChanged(double value);
    void editingChanged(bool editing);

  protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    double fractionAt(double x) const;
    QRectF trackRect() const;

    QColor tint_;
    bool programmatic_ = false;
    bool keyboardFocus_ = false;
};

// The switch of the launch-at-login row.
class Toggle : public QAbstractButton {
  public:
    explicit Toggle(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {32, 18}; }
    void setTint(const QColor& tint) {
        tint_ = tint;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;
    void checkStateSet() override;
    void nextCheckState() override;

  private:
    QColor tint_;
    AnimatedValue knob_;
};

// One key of a shortcut: the key's text in a rounded cap at least 28 × 28.
class KeyCapView : public QWidget {
  public:
    explicit KeyCapView(QString key, QWidget* parent = nullptr);
    const QString& key() const { return key_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString key_;
};

// Fills a rounded rectangle of `radius` with the given colour: the tiles behind icons.
void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& color);

}  // namespace tobble::ui
