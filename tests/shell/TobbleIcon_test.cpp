#include "shell/TobbleIcon.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPixmap>

#include "tests/shell/ShellTestBed.h"
#include "ui/Icons.h"

namespace tobble::shell {
namespace {

int alphaAt(const QIcon& icon, int size, int x, int y) {
    const QImage image =
        icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(image.size(), QSize(size, size));
    return qAlpha(image.pixel(x, y));
}

// The tray sizes are drawn on their own pixel grids: the slider tracks are solid two-pixel
// columns with clear pixels beside them, not a blur.
TEST(TobbleIcon, TrackEdgesFallOnPixelBoundariesAt16And22) {
    testing::ensureApplication();
    const QIcon icon = tobbleStatusIcon(Qt::white);
    ASSERT_FALSE(icon.isNull());
    // 16 px: the middle track is columns 7 and 8.
    EXPECT_EQ(alphaAt(icon, 16, 7, 12), 255);
    EXPECT_EQ(alphaAt(icon, 16, 8, 12), 255);
    EXPECT_EQ(alphaAt(icon, 16, 6, 12), 0);
    EXPECT_EQ(alphaAt(icon, 16, 9, 12), 0);
    // 22 px: the middle track is columns 10 and 11.
    EXPECT_EQ(alphaAt(icon, 22, 10, 16), 255);
    EXPECT_EQ(alphaAt(icon, 22, 11, 16), 255);
    EXPECT_EQ(alphaAt(icon, 22, 9, 16), 0);
    EXPECT_EQ(alphaAt(icon, 22, 12, 16), 0);
}

TEST(TobbleIcon, ColourFollowsThePaletteAndTheAppIconExists) {
    testing::ensureApplication();
    const QImage dark = tobbleStatusIcon(QColor(0x20, 0x20, 0x20)).pixmap(QSize(16, 16)).toImage();
    EXPECT_LT(qRed(dark.pixel(7, 12)), 0x40);
    EXPECT_FALSE(tobbleAppIcon().pixmap(QSize(48, 48)).isNull());
}

// The shell's artwork and the views' symbol set are separate resource bundles linked into one
// program; when their initialisers collided, the panel lost every symbol (gear, mute buttons).
TEST(TobbleIcon, ShellArtworkAndViewSymbolsAreBothInTheProgram) {
    testing::ensureApplication();
    ASSERT_FALSE(tobbleStatusIcon(Qt::white).isNull());
    const QString gear = ui::iconPath(QStringLiteral("gearshape"));
    ASSERT_FALSE(gear.isEmpty());
    EXPECT_TRUE(QFile::exists(gear)) << gear.toStdString();
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/tobble/tobble.svg")));
}

}  // namespace
}  // namespace tobble::shell
