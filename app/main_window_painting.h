// What the platform's painting of the main window asks the shell: which
// controls are drawn in red, and where the logo goes.
#pragma once

#include "platform/window.h"

// The two controls of the ESC row are drawn in red.
bool IsEscRowControl(int id);

// Where the logo goes, in the main window's client coordinates, from the
// logo's size, the window's and the group box's screen rectangles and the
// dialog frame and caption metrics.
struct LogoPlacement {
    int x, y, width, height;
};
LogoPlacement PlaceLogo(int logoWidth, int logoHeight, const ScreenRect& window,
                        const ScreenRect& group, int dialogFrameWidth, int captionHeight);
