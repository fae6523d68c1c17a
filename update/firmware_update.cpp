// The update: confirmation, the unit's lock, the ESC's flash unlocked,
// purged, addressed and written block by block under a progress window, then
// everything locked again and the new version recorded.
#include "update/firmware_update.h"

#include <algorithm>
#include <array>

#include "app/shell.h"
#include "app/texts.h"
#include "link/commands.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "update/firmware_image.h"

namespace {

// A step failed: the last-error value as the failure left it, then the texts.
void FailStep(std::uint32_t textId, std::int32_t status) {
    const std::uint32_t lastError = PlatformLastError();
    ReportUpdateFailure(LoadText(textId), LoadText(IDS_UPDATE_FAILED_CAPTION), status, lastError);
}

bool UserConfirms() {
    if (ShowMessageBox(mainWindow, LoadText(IDS_CONFIRM_UPDATE), LoadText(IDS_CONFIRM_CAPTION),
                       BOX_OK_CANCEL | BOX_ICON_EXCLAMATION) != ANSWER_OK) {
        return false;
    }
    // Writing the same or an older version deletes what is there: ask again.
    // An ESC without a version (0xFFFF) is not asked about.
    const std::uint16_t installed = EscFirmwareVersion(unitConnection);
    if (installed >= NEW_FIRMWARE_VERSION && installed != ESC_NO_FIRMWARE_VERSION) {
        return ShowMessageBox(mainWindow, LoadText(IDS_VERSION_QUESTION),
                              LoadText(IDS_VERSION_QUESTION_CAPTION),
                              BOX_YES_NO | BOX_ICON_EXCLAMATION) == ANSWER_YES;
    }
    return true;
}

// The progress window, centred over the main window, on top of it; 0 when it
// cannot be created.
WindowHandle OpenProgressWindow() {
    const ScreenRect main = GetWindowRectangle(mainWindow);
    const int x = main.left + ((main.right - main.left) >> 1) - PROGRESS_WIDTH / 2;
    const int y = main.top + ((main.bottom - main.top) >> 1) - PROGRESS_HEIGHT / 2;
    const WindowHandle progress = CreateProgressWindow(mainWindow, LoadText(IDS_PROGRESS_TITLE), x,
                                                       y, PROGRESS_WIDTH, PROGRESS_HEIGHT);
    if (progress != 0) {
        SetProgressPosition(progress, 0);
        RaiseWindowToTop(mainWindow);
        RaiseWindowToTop(progress);
    }
    return progress;
}

// Once one of the updater's windows is in the foreground, put both on top and
// show them; until then, try again after each block.
void KeepWindowsInFront(WindowHandle progress, WindowHandle& recorded) {
    if (recorded == mainWindow || recorded == progress) {
        return;
    }
    if (ForegroundWindow() != mainWindow && ForegroundWindow() != progress) {
        return;
    }
    recorded = ForegroundWindow();
    RaiseWindowToTop(mainWindow);
    RaiseWindowToTop(progress);
    ShowWindowNormally(mainWindow);
    ShowWindowNormally(progress);
}

// Writes the image in 48-byte blocks, 12 words each. A short last block is
// copied into a 48-byte buffer filled with 0xFF, but only its own whole words
// go out: the report says `remaining / 4` words, carries those bytes and
// zeros after them, so no 0xFF filler ever reaches the unit. Returns the
// failing block's status, or 0.
std::int32_t WriteImage(const FirmwareImage& image, WindowHandle progress) {
    std::uint32_t remaining = image.size;
    const std::uint8_t* position = image.data;
    WindowHandle recorded = 0;
    while (remaining != 0) {
        PlatformClearLastError();
        std::int32_t status;
        if (remaining >= BLOCK_BYTES) {
            status = WriteDataBlock(position, BLOCK_BYTES / 4);
            remaining -= BLOCK_BYTES;
            position += BLOCK_BYTES;
        } else {
            std::array<std::uint8_t, BLOCK_BYTES> block;
            block.fill(0xFF);
            std::copy_n(position, remaining, block.begin());
            status = WriteDataBlock(block.data(), remaining >> 2);
            remaining = 0;
        }
        if (status != LINK_OK) {
            return status;
        }
        if (progress != 0) {
            SetProgressPosition(progress, ProgressPercent(image.size - remaining, image.size));
        }
        KeepWindowsInFront(progress, recorded);
        WaitMilliseconds(STEP_PAUSE_MS);
    }
    return LINK_OK;
}

}  // namespace

std::uint32_t ProgressPercent(std::uint32_t written, std::uint32_t size) {
    if (size == 0) {
        return 100;
    }
    return static_cast<std::uint32_t>(std::uint64_t{written} * 100 / size);
}

void RunFirmwareUpdate() {
    if (unitConnection.handle == INVALID_HID_HANDLE) {
        const std::wstring caption = LoadText(IDS_UPDATE_FAILED_CAPTION);
        const std::wstring text = LoadText(IDS_NO_UNIT_AT_UPDATE);
        ReportUpdateFailure(text, caption, LINK_NO_UNIT, PlatformLastError());
        return;
    }

    // Refusals before anything is asked or sent; the unit stays open and the
    // window as it is. A build without a usable image; an image that is not
    // the one recorded at build time; a unit whose reports cannot carry a
    // data block (it would take the lock, the unlock and the purge, and then
    // leave the ESC erased).
    const FirmwareImage image = LocateFirmwareImage();
    std::uint32_t refusal = 0;
    if (!IsWritableImage(image)) {
        refusal = IDS_NO_FIRMWARE;
    } else if (!ImageMatchesRecordedDigest(image)) {
        refusal = IDS_IMAGE_DAMAGED;
    } else if (!ReportLengthsCarryUpdate(std::min(image.size, BLOCK_BYTES))) {
        refusal = IDS_REPORTS_TOO_SHORT;
    }
    if (refusal != 0) {
        ShowMessageBox(mainWindow, LoadText(refusal), LoadText(IDS_UPDATE_FAILED_CAPTION),
                       BOX_OK | BOX_ICON_ERROR);
        return;
    }

    if (!UserConfirms()) {
        return;
    }

    // Each step, and each block, starts with a cleared last-error value: the
    // code line of a failure shows the failing step's own value (0 when the
    // unit refused the command), never one left by an earlier exchange or an
    // earlier update.
    PlatformClearLastError();
    std::int32_t status = SetSystemLock(true);
    if (status != LINK_OK) {
        FailStep(IDS_LOCK_FAILED, status);
        return;
    }
    WaitMilliseconds(STEP_PAUSE_MS);

    PlatformClearLastError();
    status = SetWriteProtection(false);
    if (status != LINK_OK) {
        FailStep(IDS_PROTECTION_OFF_FAILED, status);
        return;
    }
    WaitMilliseconds(STEP_PAUSE_MS);

    // The ESC needs its time after the purge, whatever the purge answered.
    PlatformClearLastError();
    status = PurgeFirmware();
    WaitMilliseconds(AFTER_PURGE_PAUSE_MS);
    if (status != LINK_OK) {
        FailStep(IDS_PURGE_FAILED, status);
        return;
    }
    WaitMilliseconds(STEP_PAUSE_MS);

    PlatformClearLastError();
    status = SetWriteAddress();
    if (status != LINK_OK) {
        FailStep(IDS_ADDRESS_FAILED, status);
        return;
    }
    WaitMilliseconds(STEP_PAUSE_MS);

    const WindowHandle progress = OpenProgressWindow();
    status = WriteImage(image, progress);
    if (status != LINK_OK) {
        const std::uint32_t lastError = PlatformLastError();
        if (progress != 0) {
            DestroyWindowNow(progress);
        }
        ReportUpdateFailure(LoadText(IDS_DATA_BLOCK_FAILED), LoadText(IDS_UPDATE_FAILED_CAPTION),
                            status, lastError);
        return;
    }
    if (progress != 0) {
        DestroyWindowNow(progress);
    }

    // Lock everything again; what these answer changes nothing that follows.
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        SetWriteProtection(true);
    }
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        SetSystemLock(false);
    }

    SetEscFirmwareVersion(unitConnection, NEW_FIRMWARE_VERSION);
    EnableItem(mainWindow, IDC_UPDATE, false);
    RefreshVersionDisplay();
    SetItemText(mainWindow, IDC_HINT, LoadText(IDS_UPDATE_SUCCEEDED));
}
