#include <gtest/gtest.h>

#include <QApplication>

#include "ui/Accessibility.h"
#include "ui/Motion.h"

// Widgets need an application object; offscreen, so the suite runs without a display.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    tobble::ui::installAccessibility();
    tobble::ui::Motion::setAnimationsEnabled(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
