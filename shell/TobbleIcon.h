#pragma once

#include <QColor>
#include <QIcon>

namespace tobble::shell {

// The tray artwork ("TobbleIcon"), drawn in one colour like a template image: light on a dark
// desktop palette, dark on a light one. Rendered at each tray size from the 16 px drawing.
QIcon tobbleStatusIcon();
QIcon tobbleStatusIcon(const QColor& colour);
// The application icon (menus, the autostart entry, windows).
QIcon tobbleAppIcon();

}  // namespace tobble::shell
