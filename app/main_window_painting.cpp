// What the platform's painting of the main window asks the shell: the red
// ESC row and where the logo goes.
#include "app/main_window_painting.h"

#include "res/resource.h"

bool IsEscRowControl(int id) { return id == IDC_LABEL_ESC || id == IDC_VERSION_ESC; }

LogoPlacement PlaceLogo(int logoWidth, int logoHeight, const ScreenRect& window,
                        const ScreenRect& group, int dialogFrameWidth, int captionHeight) {
    LogoPlacement placement{};
    // Never wider than half the bitmap, nor than the room right of the group
    // box less 45 pixels; the comparison is signed, with no lower bound.
    const int room = window.right - group.right - 45;
    placement.width = logoWidth / 2 < room ? logoWidth / 2 : room;
    // The bitmap's proportions, in single precision, truncated toward zero.
    placement.height = logoWidth == 0
                           ? 0
                           : static_cast<int>(static_cast<float>(placement.width) /
                                              static_cast<float>(logoWidth) *
                                              static_cast<float>(logoHeight));
    placement.x = group.right - window.left - dialogFrameWidth + 20;
    placement.y = group.top - window.top - captionHeight;
    return placement;
}
