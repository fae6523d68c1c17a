// Writing the embedded firmware into the ESC, and reporting a failed update.
// Both show themselves in the main window through update/update_window.h.
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

// The Update button. Without an open unit, the failure at once. Otherwise a
// refusal (no usable image, an image not the one recorded at build time, a
// unit whose reports cannot carry a data block), or the confirmation and,
// when the ESC carries NEW_FIRMWARE_VERSION or newer, the version question;
// then the refusals again, against the unit open once they are answered (a
// unit plugged in while a box was open is judged as one plugged in before);
// then the ESC asked again as identification asks it (three queries): one
// that differs from what was recorded when Update was pressed is shown as if
// plugged in, and nothing more is sent; then the unit's lock, the ESC's flash unlocked, purged, addressed and
// written block by block under a progress window, everything locked again,
// the new version recorded and shown. Any failure goes to
// ReportUpdateFailure. Runs to its end on the user-interface thread.
void RunFirmwareUpdate();

// The end of every failed update, in this order: the unit closed
// (ResetConnection), Update off, the no-unit rows, a box with `text` and
// `caption` (and the code line with `status` and `lastError` unless the
// status is LINK_NO_UNIT), then the failure text in the hint box.
void ReportUpdateFailure(const std::wstring& text, const std::wstring& caption,
                         std::int32_t status, std::uint32_t lastError);

// The bar's position after `written` of `size` bytes, 0 to 100; never
// overflows, whatever the size.
std::uint32_t ProgressPercent(std::uint32_t written, std::uint32_t size);
