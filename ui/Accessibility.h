#pragma once

class QWidget;

namespace tobble::ui {

// Teaches Qt's accessibility layer (AT-SPI on Linux) what the panel's painted controls are:
// sliders report their volume in percent ("31%"), a section header reports whether its section
// is expanded, the picker's device rows read as radio buttons with the current device checked,
// icon tiles are images rather than unnamed buttons, text views are labels and the panel's
// windows and views are panes rather than fillers. Call once the QApplication exists and before
// the first window is built: Qt keeps the first description it makes of each widget.
void installAccessibility();

// Gives `control` the keyboard after a view change replaced or removed the focused control, and
// tells screen readers where the user now is.
void moveFocusTo(QWidget* control);

}  // namespace tobble::ui
