// Writes the centre of every picture button as a shell variable, point_<artwork>="x y", for the
// scripts that click through the windows on a virtual display.
#include "ui/Layout.h"

#include <cstdio>
#include <span>

namespace {

void writePoints(std::FILE* out, std::span<const tovilo::layout::ButtonPlace> buttons)
{
    for (const auto& button : buttons) {
        const QRect& r = button.rect;
        std::fprintf(out, "point_%s=\"%d %d\"\n", button.artwork, r.x() + r.width() / 2,
                     r.y() + r.height() / 2);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "# Written by the build from ui/Layout.h; do not edit.\n");
    writePoints(out, tovilo::layout::mainWindow::buttons);
    writePoints(out, tovilo::layout::selectDvd::buttons);
    writePoints(out, tovilo::layout::config::buttons);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
