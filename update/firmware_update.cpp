// The update: confirmation, the unit's lock, the ESC's flash unlocked,
// purged, addressed and written block by block, then everything locked again
// and the new version recorded.
#include "update/firmware_update.h"

#include <algorithm>
#include <array>
#include <optional>

#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "update/firmware_image.h"

namespace {

// The end of every failed update: the unit closed, then the observer told,
// with the last-error value that the caller took at the failure.
void Fail(UpdateObserver& observer, UpdateStep step, std::int32_t status,
          std::uint32_t lastError) {
    ResetConnection();
    observer.Failed(step, status, lastError);
}

// A refusal before anything is asked or sent: a build without a usable
// image; an image that is not the one recorded at build time; a unit whose
// reports cannot carry a data block (it would take the lock, the unlock and
// the purge, and then leave the ESC erased).
std::optional<UpdateRefusal> FindRefusal(const FirmwareImage& image) {
    if (!IsWritableImage(image)) {
        return UPDATE_REFUSAL_NO_IMAGE;
    }
    if (!ImageMatchesRecordedDigest(image)) {
        return UPDATE_REFUSAL_IMAGE_DAMAGED;
    }
    if (!ReportLengthsCarryUpdate(std::min(image.size, BLOCK_BYTES))) {
        return UPDATE_REFUSAL_REPORTS_TOO_SHORT;
    }
    return std::nullopt;
}

bool UserConfirms(UpdateObserver& observer) {
    if (!observer.ConfirmUpdate()) {
        return false;
    }
    // Writing the same or an older version deletes what is there: ask again.
    // An ESC without a version (0xFFFF) is not asked about. The version is
    // read once the first question is answered: the unit may have gone
    // meanwhile.
    const std::uint16_t installed = EscFirmwareVersion(unitConnection);
    if (installed >= NEW_FIRMWARE_VERSION && installed != ESC_NO_FIRMWARE_VERSION) {
        return observer.ConfirmOverwrite();
    }
    return true;
}

// The ESC needs its time after the purge, whatever the purge answered; a
// failure's last-error value is taken after that pause.
std::int32_t PurgeAndLetTheEscSettle() {
    const std::int32_t status = PurgeFirmware();
    WaitMilliseconds(AFTER_PURGE_PAUSE_MS);
    return status;
}

// One step before the data blocks, started with a cleared last-error value
// and followed by its pause. False when it failed (and was reported).
template <typename Step>
bool RunStep(UpdateObserver& observer, UpdateStep step, Step command) {
    PlatformClearLastError();
    const std::int32_t status = command();
    if (status != LINK_OK) {
        Fail(observer, step, status, PlatformLastError());
        return false;
    }
    WaitMilliseconds(STEP_PAUSE_MS);
    return true;
}

// Writes the image in 48-byte blocks, 12 words each. A short last block is
// copied into a 48-byte buffer filled with 0xFF, but only its own whole words
// go out: the report says `remaining / 4` words, carries those bytes and
// zeros after them, so no 0xFF filler ever reaches the unit. Returns the
// failing block's status, or 0.
std::int32_t WriteImage(const FirmwareImage& image, UpdateObserver& observer) {
    std::uint32_t remaining = image.size;
    const std::uint8_t* position = image.data;
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
        observer.ProgressAdvanced(ProgressPercent(image.size - remaining, image.size));
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

void UpdateEscFirmware(UpdateObserver& observer) {
    if (unitConnection.handle == INVALID_HID_HANDLE) {
        Fail(observer, UPDATE_STEP_NO_UNIT, LINK_NO_UNIT, PlatformLastError());
        return;
    }

    // Refusals come before anything is asked or sent; the unit stays open.
    const FirmwareImage image = LocateFirmwareImage();
    if (const std::optional<UpdateRefusal> refusal = FindRefusal(image)) {
        observer.Refused(*refusal);
        return;
    }

    if (!UserConfirms(observer)) {
        return;
    }

    // Each step, and each block, starts with a cleared last-error value: the
    // code line of a failure shows the failing step's own value (0 when the
    // unit refused the command), never one left by an earlier exchange or an
    // earlier update.
    if (!RunStep(observer, UPDATE_STEP_SYSTEM_LOCK, [] { return SetSystemLock(true); }) ||
        !RunStep(observer, UPDATE_STEP_PROTECTION_OFF, [] { return SetWriteProtection(false); }) ||
        !RunStep(observer, UPDATE_STEP_PURGE, PurgeAndLetTheEscSettle) ||
        !RunStep(observer, UPDATE_STEP_SET_ADDRESS, SetWriteAddress)) {
        return;
    }

    observer.ProgressStarted();
    const std::int32_t status = WriteImage(image, observer);
    if (status != LINK_OK) {
        const std::uint32_t lastError = PlatformLastError();
        observer.ProgressEnded();
        Fail(observer, UPDATE_STEP_DATA_BLOCK, status, lastError);
        return;
    }
    observer.ProgressEnded();

    // Lock everything again; what these answer changes nothing that follows.
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        SetWriteProtection(true);
    }
    if (unitConnection.handle != INVALID_HID_HANDLE) {
        SetSystemLock(false);
    }

    SetEscFirmwareVersion(unitConnection, NEW_FIRMWARE_VERSION);
    observer.Succeeded();
}
