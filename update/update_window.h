// The main window, as the update shows itself in it.
//
// Declared here and defined by the shell, as the platform's seams are
// declared in platform/ and defined by each platform: the update includes
// nothing from app/ (link <- update <- app), and the shell keeps what is its
// own, the window's controls and the texts. Each is the shell's own
// function under its own name: MainWindow, ErrorCodeLine, DisableUpdateButton
// and ShowHint are defined in app/update_window.cpp, the others where the
// shell declares them too (app/texts.h, app/connection_status.h,
// app/version_display.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"

// The main window; 0 before the dialog is initialised. It owns the update's
// message boxes and its progress window, which is centred over it.
WindowHandle MainWindow();

// The text `id` of the string table, as the shell loads every text (at most
// TEXT_BUFFER_SIZE - 1 characters).
std::wstring LoadText(std::uint32_t id);

// The failure's code line: text IDS_ERROR_CODE_LINE with `status` and
// `lastError` each as eight lower-case hexadecimal digits.
std::wstring ErrorCodeLine(std::uint32_t status, std::uint32_t lastError);

// Whether the unit open now is one the window would let Update write (found,
// identified, an updatable ESC of an accepted type); false with none open.
bool OpenUnitIsReady();

// The window for the open unit as identification last read it, as after the
// unit was plugged in: Ready with Update on, or the unit turned away and
// closed with the status of its case (an incompatible ESC after its box).
void ShowOpenUnit();

// The Update button (IDC_UPDATE) off.
void DisableUpdateButton();

// The three version rows drawn anew from the record: the no-unit rows when
// no unit is open.
void RefreshVersionDisplay();

// `text` as the whole content of the hint box (IDC_HINT).
void ShowHint(const std::wstring& text);
