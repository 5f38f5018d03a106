#pragma once
// The console's pictures, drawn rather than shipped: the state indicator, the five frames of the
// running animation, the tray icons made from them, and the agent and log commands' icons when
// the desktop's icon theme has none.
#include <QIcon>
#include <QPixmap>

namespace console {

// The pictures are drawn at dpr device pixels per pixel, sharp on a scaled screen.
// 0 = active (green), 1 = inactive (grey-red), 2 = starting or stopping (amber); 16 x 16.
QPixmap ImgColors(int index, qreal dpr = 1);
// Frame 0..4 of the animation at size x size pixels; frame 0 is the still picture of the
// inactive agent.
QPixmap ImgStat(int frame, int size = 32, qreal dpr = 1);
// The tray icon of each frame, drawn at the sizes notification areas ask for.
QIcon Image1(int frame);
inline constexpr int kFrames = 5;

enum class Glyph { Start, Stop, Refresh, AutoRefresh };
// The icon theme's icon of that freedesktop name, else the glyph drawn at the size asked for:
// coloured and outlined, so that it reads on light and dark windows, and in the palette's
// disabled text colour when disabled.
QIcon ToolIcon(const char* themeName, Glyph glyph);

}  // namespace console
