#include "shell/TobbleIcon.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPixmap>

#include "tests/shell/ShellTestBed.h"
#include "ui/Icons.h"

namespace tobble::shell {
namespace {

// The tray sizes are drawn on their own pixel grids: the middle slider track is a solid
// two-pixel column with clear pixels beside it, not a blur.
TEST(TobbleIcon, TrackEdgesFallOnPixelBoundariesAt16And22) {
    testing::ensureApplication();
    const QIcon icon = tobbleStatusIcon(Qt::white);
    for (const auto& [size, track, y] : {std::tuple{16, 7, 12}, std::tuple{22, 10, 16}}) {
        const QImage image =
            icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(size, size));
        const std::vector<int> alphas{
            qAlpha(image.pixel(track - 1, y)), qAlpha(image.pixel(track, y)),
            qAlpha(image.pixel(track + 1, y)), qAlpha(image.pixel(track + 2, y))};
        EXPECT_EQ(alphas, (std::vector<int>{0, 255, 255, 0})) << size << " px";
    }
}

// The shell's artwork and the views' symbol set are separate resource bundles linked into one
// program; when their initialisers collided, the panel lost every symbol (gear, mute buttons).
TEST(TobbleIcon, ShellArtworkAndViewSymbolsAreBothInTheProgram) {
    testing::ensureApplication();
    const QImage dark = tobbleStatusIcon(QColor(0x20, 0x20, 0x20)).pixmap(QSize(16, 16)).toImage();
    EXPECT_LT(qRed(dark.pixel(7, 12)), 0x40) << "the tray icon takes the palette's colour";
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/tobble/tobble.svg")));
    EXPECT_FALSE(tobbleAppIcon().pixmap(QSize(48, 48)).isNull());
    const QString gear = ui::iconPath(QStringLiteral("gearshape"));
    EXPECT_TRUE(!gear.isEmpty() && QFile::exists(gear)) << gear.toStdString();
}

}  // namespace
}  // namespace tobble::shell
