#pragma once
#include <QSize>

// Frames are at most this wide; a narrower display is never scaled up.
inline constexpr int kMaxCaptureWidth = 2560;

// The size frames are sent at for a display of `display` pixels: scaled by the width alone
// (aspect ratio kept), truncated, and rounded down to even for 4:2:0 chroma. Empty when the
// display is too small to give a frame.
QSize captureSize(QSize display);
