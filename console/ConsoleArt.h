#pragma once
// The console's pictures, drawn rather than shipped: the state indicator, the five frames of the
// running animation and the tray icons made from them.
#include <QIcon>
#include <QPixmap>

namespace console {

// 0 = active (green), 1 = inactive (grey-red), 2 = starting or stopping (amber).
QPixmap ImgColors(int index);
// Frame 0..4 of the 32 x 32 animation; frame 0 is the still picture of the inactive agent.
QPixmap ImgStat(int frame);
// The tray icon of each frame.
QIcon Image1(int frame);
inline constexpr int kFrames = 5;

}  // namespace console
