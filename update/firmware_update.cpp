// The update: confirmation, the unit's lock, the ESC's flash unlocked,
// purged, addressed and written block by block under a progress window, then
// everything locked again and the new version recorded; and the report of a
// failed update.
#include "update/firmware_update.h"

#include <algorithm>
#include <array>

#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/text_resources.h"
#include "platform/window.h"
#include "res/resource.h"
#include "update/firmware_image.h"
#include "update/update_window.h"

namespace {

// A step failed with `status`: the last-error value as the failure left it,
// then the texts, then the report.
void FailStep(std::uint32_t textId, std::int32_t status) {
    const std::uint32_t lastError = PlatformLastError();
    ReportUpdateFailure(LoadText(textId), LoadText(IDS_UPDATE_FAILED_CAPTION), status,
                        lastError);
}

// The update ends as without a unit: its text, no code line.
void FailWithoutUnit() {
    const std::wstring caption = LoadText(IDS_UPDATE_FAILED_CAPTION);
    const std::wstring text = LoadText(IDS_NO_UNIT_AT_UPDATE);
    ReportUpdateFailure(text, caption, LINK_NO_UNIT, PlatformLastError());
}

// The four set-up steps before the first block, in this order.
enum class SetupCommand { LockUnit, WriteProtectionOff, Purge, SetAddress };

struct SetupStep {
    SetupCommand command;
    std::uint32_t failureText;
    // Waited after the command whatever it answered, before its answer is
    // judged (the ESC needs its time after the purge); 0: none.
    std::uint32_t waitWhateverAnsweredMs;
    // Waited after the command succeeded.
    std::uint32_t pauseAfterMs;
};

constexpr SetupStep SETUP_STEPS[] = {
    {SetupCommand::LockUnit, IDS_LOCK_FAILED, 0, STEP_PAUSE_MS},
    {SetupCommand::WriteProtectionOff, IDS_PROTECTION_OFF_FAILED, 0, STEP_PAUSE_MS},
    {SetupCommand::Purge, IDS_PURGE_FAILED, AFTER_PURGE_PAUSE_MS, STEP_PAUSE_MS},
    {SetupCommand::SetAddress, IDS_ADDRESS_FAILED, 0, STEP_PAUSE_MS},
};

std::int32_t SendSetupCommand(SetupCommand command) {
    switch (command) {
    case SetupCommand::LockUnit:
        return SetSystemLock(true);
    case SetupCommand::WriteProtectionOff:
        return SetWriteProtection(false);
    case SetupCommand::Purge:
        return PurgeFirmware();
    case SetupCommand::SetAddress:
        return SetWriteAddress();
    }
    return LINK_NO_UNIT;
}

// Sends the set-up steps one after the other. Each starts with a cleared
// last-error value: the code line of a failure shows the failing step's own
// value (0 when the unit refused the command), never one left by an earlier
// exchange or an earlier update; a failure's value is taken after the wait
// that comes whatever the command answered. Nothing more is sent after a
// failure, which is reported. Returns whether every step succeeded.
bool RunSetupSteps() {
    for (const SetupStep& step : SETUP_STEPS) {
        PlatformClearLastError();
        const std::int32_t status = SendSetupCommand(step.command);
        if (step.waitWhateverAnsweredMs != 0) {
            WaitMilliseconds(step.waitWhateverAnsweredMs);
        }
        if (status != LINK_OK) {
            FailStep(step.failureText, status);
            return false;
        }
        WaitMilliseconds(step.pauseAfterMs);
    }
    return true;
}

// The text of a refusal, or 0: a build without a usable image; an image that
// is not the one recorded at build time; an open unit whose reports cannot
// carry a data block (it would take the lock, the unlock and the purge, and
// then leave the ESC erased). Without an open unit the reports are not
// judged: every step then fails without sending anything.
std::uint32_t RefusalText(const FirmwareImage& image) {
    if (!IsWritableImage(image)) {
        return IDS_NO_FIRMWARE;
    }
    if (!ImageMatchesRecordedDigest(image)) {
        return IDS_IMAGE_DAMAGED;
    }
    if (unitConnection.handle != INVALID_HID_HANDLE &&
        !ReportLengthsCarryUpdate(std::min(image.size, BLOCK_BYTES))) {
        return IDS_REPORTS_TOO_SHORT;
    }
    return 0;
}

// Shows a refusal's box; nothing is sent, the unit stays open and the window
// as it is. Returns whether there was one.
bool Refused(const FirmwareImage& image) {
    const std::uint32_t refusal = RefusalText(image);
    if (refusal == 0) {
        return false;
    }
    ShowMessageBox(MainWindow(), LoadText(refusal), LoadText(IDS_UPDATE_FAILED_CAPTION),
                   BOX_OK | BOX_ICON_ERROR);
    return true;
}

// The ESC on the unit's cable, asked again once the boxes are answered: an
// ESC swapped or taken off behind the unit while a box was open brings no
// device event, since the unit stays on USB. The update goes on only with
// the ESC that identification recorded when Update was pressed
// (`askedAbout`). A query that fails ends the update as a failure; an ESC
// that differs is shown as one plugged in, and the owner presses Update for
// it, where the questions are asked about that ESC. Either way nothing that
// changes the unit or the ESC has been sent.
bool SameEscStillThere(const UnitConnection& askedAbout) {
    PlatformClearLastError();
    const std::int32_t status = IdentifyUnitAgain();
    if (status != LINK_OK) {
        FailStep(IDS_ESC_CHECK_FAILED, status);
        return false;
    }
    if (!SameEsc(askedAbout, unitConnection)) {
        ShowOpenUnit();
        return false;
    }
    return true;
}

bool UserConfirms() {
    if (ShowMessageBox(MainWindow(), LoadText(IDS_CONFIRM_UPDATE), LoadText(IDS_CONFIRM_CAPTION),
                       BOX_OK_CANCEL | BOX_ICON_EXCLAMATION) != ANSWER_OK) {
        return false;
    }
    // Writing the same or an older version deletes what is there: ask again.
    // An ESC without a version (0xFFFF) is not asked about. The version is
    // read once the first question is answered: the unit may have gone
    // meanwhile.
    const std::uint16_t installed = EscFirmwareVersion(unitConnection);
    if (installed >= NEW_FIRMWARE_VERSION && installed != ESC_NO_FIRMWARE_VERSION) {
        return ShowMessageBox(MainWindow(), LoadText(IDS_VERSION_QUESTION),
                              LoadText(IDS_VERSION_QUESTION_CAPTION),
                              BOX_YES_NO | BOX_ICON_EXCLAMATION) == ANSWER_YES;
    }
    return true;
}

// The progress window, centred over the main window, on top of it; 0 when it
// cannot be created (the blocks are then written all the same, without it).
// The main window comes to the top either way.
WindowHandle OpenProgressWindow() {
    const WindowHandle main = MainWindow();
    const ScreenRect rect = GetWindowRectangle(main);
    const int x = rect.left + ((rect.right - rect.left) >> 1) - PROGRESS_WIDTH / 2;
    const int y = rect.top + ((rect.bottom - rect.top) >> 1) - PROGRESS_HEIGHT / 2;
    const WindowHandle progress = CreateProgressWindow(main, LoadText(IDS_PROGRESS_TITLE), x, y,
                                                       PROGRESS_WIDTH, PROGRESS_HEIGHT);
    if (progress != 0) {
        SetProgressPosition(progress, 0);
    }
    RaiseWindowToTop(main);
    if (progress != 0) {
        RaiseWindowToTop(progress);
    }
    return progress;
}

void CloseProgressWindow(WindowHandle progress) {
    if (progress != 0) {
        DestroyWindowNow(progress);
    }
}

// Once one of the updater's windows is in the foreground, put both on top and
// show them; until then, try again after each block. Without a progress
// window, never: `recorded` (0 at first) then equals it.
void KeepWindowsInFront(WindowHandle progress, WindowHandle& recorded) {
    const WindowHandle main = MainWindow();
    if (recorded == main || recorded == progress) {
        return;
    }
    if (ForegroundWindow() != main && ForegroundWindow() != progress) {
        return;
    }
    recorded = ForegroundWindow();
    RaiseWindowToTop(main);
    RaiseWindowToTop(progress);
    ShowWindowNormally(main);
    ShowWindowNormally(progress);
}

// Writes the image in 48-byte blocks, 12 words each, moving the bar after
// each block. A short last block is copied into a 48-byte buffer filled with
// 0xFF, but only its own whole words go out: the report says `remaining / 4`
// words, carries those bytes and zeros after them, so no 0xFF filler ever
// reaches the unit. Each block starts with a cleared last-error value.
// Returns the failing block's status, or 0.
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
        FailWithoutUnit();
        return;
    }

    // Refusals come before anything is asked, and again once the questions
    // are answered: the boxes take device events, so the unit open now may
    // be another one than the unit that was asked about (plugged in while a
    // box was open). Nothing is sent to a unit that would be refused.
    const UnitConnection askedAbout = unitConnection;
    const FirmwareImage image = LocateFirmwareImage();
    if (Refused(image) || !UserConfirms()) {
        return;
    }
    // A unit plugged in while a box was open and not found ready (its
    // identification failed: it stays open until removed) is not the unit
    // the owner confirmed: nothing is sent to it, and the update ends as
    // without a unit. One that went away fails the first step below.
    if (unitConnection.handle != INVALID_HID_HANDLE && !OpenUnitIsReady()) {
        FailWithoutUnit();
        return;
    }
    if (Refused(image)) {
        return;
    }
    if (unitConnection.handle != INVALID_HID_HANDLE && !SameEscStillThere(askedAbout)) {
        return;
    }

    if (!RunSetupSteps()) {
        return;
    }
    const WindowHandle progress = OpenProgressWindow();
    const std::int32_t status = WriteImage(image, progress);
    if (status != LINK_OK) {
        // The last-error value before the window goes, the window before the
        // failure's box.
        const std::uint32_t lastError = PlatformLastError();
        CloseProgressWindow(progress);
        ReportUpdateFailure(LoadText(IDS_DATA_BLOCK_FAILED), LoadText(IDS_UPDATE_FAILED_CAPTION),
                            status, lastError);
        return;
    }
    CloseProgressWindow(progress);

    // Lock everything again; what these answer changes nothing that follows.
    // The unit is open: only the shell closes it, and it takes no device
    // event while the update runs.
    SetWriteProtection(true);
    SetSystemLock(false);

    // The new version in the ESC row, Update off: this ESC is done. The unit
    // stays open.
    SetEscFirmwareVersion(unitConnection, NEW_FIRMWARE_VERSION);
    DisableUpdateButton();
    RefreshVersionDisplay();
    ShowHint(LoadText(IDS_UPDATE_SUCCEEDED));
}

void ReportUpdateFailure(const std::wstring& text, const std::wstring& caption,
                         std::int32_t status, std::uint32_t lastError) {
    ResetConnection();
    DisableUpdateButton();
    RefreshVersionDisplay();

    // LINK_NO_UNIT has no code to show; any other status comes with the last
    // error.
    std::wstring message = text;
    if (status != LINK_NO_UNIT) {
        message += L"\r\n";
        message += ErrorCodeLine(static_cast<std::uint32_t>(status), lastError);
    }
    CutToTextBuffer(message);
    ShowMessageBox(MainWindow(), message, caption, BOX_OK | BOX_ICON_ERROR);

    ShowHint(LoadText(IDS_UPDATE_FAILED_HINT));
}
