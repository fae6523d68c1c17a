// The end of every failed update.
#include "app/shell.h"
#include "app/texts.h"
#include "link/unit_connection.h"
#include "update/firmware_update.h"

void ReportUpdateFailure(const std::wstring& text, const std::wstring& caption,
                         std::int32_t status, std::uint32_t lastError) {
    ResetConnection();
    EnableItem(mainWindow, IDC_UPDATE, false);
    RefreshVersionDisplay();

    // Status -1 has no code to show; any other comes with the last error.
    std::wstring message = text;
    if (status != -1) {
        message += L"\r\n";
        message += FormatText(TEXT_BUFFER_SIZE, LoadText(IDS_ERROR_CODE_LINE),
                              {static_cast<std::uint32_t>(status), lastError});
    }
    if (message.size() > TEXT_BUFFER_SIZE - 1) {
        message.resize(TEXT_BUFFER_SIZE - 1);
    }
    ShowMessageBox(mainWindow, message, caption, BOX_OK | BOX_ICON_ERROR);

    SetItemText(mainWindow, IDC_HINT, LoadText(IDS_UPDATE_FAILED_HINT));
}
