// Writing the embedded firmware into the ESC. The procedure drives the unit
// and tells an observer, which its caller gives it, what happens: the
// questions it asks, a refusal, the progress and the end. What the user sees
// of it is the caller's (app/).
#pragma once

#include <cstdint>

// The fixed waits of an update, in milliseconds.
constexpr std::uint32_t STEP_PAUSE_MS = 20;          // after each step and each block
constexpr std::uint32_t AFTER_PURGE_PAUSE_MS = 4000; // after the purge, whatever its result

// One data block: 48 bytes, 12 words.
constexpr std::uint32_t BLOCK_BYTES = 48;

// Why an update is refused before anything is asked or sent.
enum UpdateRefusal {
    UPDATE_REFUSAL_NO_IMAGE,           // the build carries no usable image
    UPDATE_REFUSAL_IMAGE_DAMAGED,      // the image is not the one recorded at build time
    UPDATE_REFUSAL_REPORTS_TOO_SHORT,  // the unit's reports cannot carry a data block
};

// Where an update failed.
enum UpdateStep {
    UPDATE_STEP_NO_UNIT,  // no unit was open when the update began
    UPDATE_STEP_SYSTEM_LOCK,
    UPDATE_STEP_PROTECTION_OFF,
    UPDATE_STEP_PURGE,
    UPDATE_STEP_SET_ADDRESS,
    UPDATE_STEP_DATA_BLOCK,
};

// What an update tells its caller, in the order it happens: without an open
// unit, the failure at once; otherwise a refusal, or the questions and, when
// the user goes ahead, a failure before the data blocks, or the progress
// (started, after each block, ended) followed by the failure or the success.
class UpdateObserver {
public:
    // Whether the user goes ahead with the update; nothing has been sent.
    virtual bool ConfirmUpdate() = 0;
    // Asked after ConfirmUpdate when the ESC carries NEW_FIRMWARE_VERSION or
    // newer: whether the user overwrites it.
    virtual bool ConfirmOverwrite() = 0;
    // The update is refused before anything is asked or sent; the unit stays
    // open.
    virtual void Refused(UpdateRefusal refusal) = 0;
    // The data blocks begin; then after each accepted block the share of the
    // image written, 0 to 100; then they end, before any failure or the
    // closing steps.
    virtual void ProgressStarted() = 0;
    virtual void ProgressAdvanced(std::uint32_t percent) = 0;
    virtual void ProgressEnded() = 0;
    // The update failed at `step` with `status` (a link result code or the
    // unit's error code; LINK_NO_UNIT has no code to show) and the
    // platform's last-error value as the failure left it. The unit is closed
    // already, and nothing more is sent.
    virtual void Failed(UpdateStep step, std::int32_t status, std::uint32_t lastError) = 0;
    // Every block was accepted and NEW_FIRMWARE_VERSION is recorded; the unit
    // stays open.
    virtual void Succeeded() = 0;

protected:
    ~UpdateObserver() = default;
};

// The update of the open unit's ESC: the refusals, the two questions, then
// the unit's lock, the ESC's flash unlocked, purged, addressed and written
// block by block, everything locked again and the new version recorded. A
// failure closes the unit. Runs to its end on the calling thread.
void UpdateEscFirmware(UpdateObserver& observer);

// The bar's position after `written` of `size` bytes, 0 to 100; never
// overflows, whatever the size.
std::uint32_t ProgressPercent(std::uint32_t written, std::uint32_t size);
