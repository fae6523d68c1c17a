// Writing the embedded firmware into the ESC, and reporting a failed update.
#pragma once

#include <cstdint>
#include <string>

// The fixed waits of an update, in milliseconds.
constexpr std::uint32_t STEP_PAUSE_MS = 20;          // after each step and each block
constexpr std::uint32_t AFTER_PURGE_PAUSE_MS = 4000; // after the purge, whatever its result

// One data block: 48 bytes, 12 words.
constexpr std::uint32_t BLOCK_BYTES = 48;

// The progress window: 400 x 50 pixels, centred over the main window.
constexpr int PROGRESS_WIDTH = 400;
constexpr int PROGRESS_HEIGHT = 50;

// The Update button: asks, then writes the image into the ESC with a progress
// window, and records the new version; any failure goes to
// ReportUpdateFailure. Runs to its end on the user-interface thread.
void RunFirmwareUpdate();

// Closes the unit, shows the no-unit rows, tells the user what failed (with
// the status and the last-error value unless the status is -1) and leaves
// the failure text in the hint box.
void ReportUpdateFailure(const std::wstring& text, const std::wstring& caption,
                         std::int32_t status, std::uint32_t lastError);

// The bar's position after `written` of `size` bytes, 0 to 100; never
// overflows, whatever the size.
std::uint32_t ProgressPercent(std::uint32_t written, std::uint32_t size);
