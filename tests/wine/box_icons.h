// A message box's icon as the Windows stages see it: one of the system's
// shared icons, by its resource id (IDI_ERROR, IDI_WARNING,
// IDI_INFORMATION), named as the stories name it. A box's answers are the
// ids of its buttons (ANSWER_OK is IDOK, platform/win32/window_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

// "error", "warning" or "information"; "none" for 0; else the id.
inline std::string BoxIconName(std::uintptr_t resourceId) {
    switch (resourceId) {
    case 32513:  // IDI_ERROR (IDI_HAND)
        return "error";
    case 32515:  // IDI_WARNING (IDI_EXCLAMATION)
        return "warning";
    case 32516:  // IDI_INFORMATION (IDI_ASTERISK)
        return "information";
    case 0:
        return "none";
    default:
        return "icon " + std::to_string(resourceId);
    }
}
