// The main window as the update shows itself in it: the shell's side of
// update/update_window.h. The update (update/) asks the questions, opens the
// progress window and reports its end; the shell lends it the main window,
// its controls and the texts. What the seam declares beside these four is
// defined where the shell declares it: included here with the seam, a
// declaration that differs from the shell's own does not build.
#include "update/update_window.h"

#include "app/connection_status.h"
#include "app/shell.h"
#include "app/texts.h"
#include "app/version_display.h"

WindowHandle MainWindow() { return mainWindow; }

std::wstring ErrorCodeLine(std::uint32_t status, std::uint32_t lastError) {
    return FormatText(TEXT_BUFFER_SIZE, LoadText(IDS_ERROR_CODE_LINE), {status, lastError});
}

void DisableUpdateButton() { EnableItem(mainWindow, IDC_UPDATE, false); }

void ShowHint(const std::wstring& text) { SetItemText(mainWindow, IDC_HINT, text); }
