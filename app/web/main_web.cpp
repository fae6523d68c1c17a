// The updater in the browser: the counterpart of the Windows dialog
// procedure. One thread of control, as under Windows: the page queues the
// user's clicks and the units that come and go, and this loop takes them one
// at a time and hands them to the shell. While the shell works (an update
// runs to its end inside OnCommand), nothing is taken: events wait in the
// page's queue, as WM_DEVICECHANGE waits in the Windows message queue. Only
// an open message box takes device events meanwhile (platform/web).
#include "app/connection_status.h"
#include "app/shell.h"
#include "app/texts.h"
#include "platform/resources.h"
#include "platform/web/page_host.h"
#include "platform/web/page_window.h"
#include "res/resource.h"

namespace {

// The first 12 hex digits of the recorded digest of the carried image, or
// nothing when this build carries no image.
std::wstring ImageDigestPrefix() {
    const RawResource digest = LoadRawResource(IDR_FIRMWARE_DIGEST);
    std::wstring text;
    if (digest.data == nullptr || digest.size < 6) {
        return text;
    }
    for (std::uint32_t i = 0; i < 6; ++i) {
        text += HexDigits(digest.data[i], 2);
    }
    return text;
}

// The WM_DEVICECHANGE of Windows: an interface broadcast with its path.
void HandleDeviceEvent(std::uint32_t event, const std::wstring& path) {
    const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, path};
    OnDeviceChange(event, &broadcast);
}

// The dialog's modal loop, until Close (or the start) ends the dialog.
void RunMainDialog() {
    while (!MainDialogEnded()) {
        const PageEvent event = PageNextEvent();
        if (event.kind == PAGE_EVENT_COMMAND) {
            OnCommand(static_cast<int>(event.value));
        } else if (event.kind == PAGE_EVENT_DEVICE) {
            HandleDeviceEvent(event.value, event.path);
        }
    }
}

}  // namespace

int main() {
    SetDeviceEventHandler(HandleDeviceEvent);
    PageShowBuild(ORVANTO_VERSION, ImageDigestPrefix());
    StartShell();
    OnInitDialog(PAGE_MAIN_WINDOW);
    if (!MainDialogEnded()) {
        PageShowMain();
        RunMainDialog();
    }
    PageShowSessionEnded(MainDialogResult());
    return 0;
}
