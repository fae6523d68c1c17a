// The update as the user sees it: the two questions, the refusals, the
// progress window over the main window, and the end of the update in the
// main window. The update itself (update/) only reports what happens.
#include "app/shell.h"
#include "app/texts.h"
#include "link/report.h"
#include "update/firmware_update.h"

namespace {

// The progress window: 400 x 50 pixels, centred over the main window.
constexpr int PROGRESS_WIDTH = 400;
constexpr int PROGRESS_HEIGHT = 50;

std::uint32_t RefusalText(UpdateRefusal refusal) {
    switch (refusal) {
    case UPDATE_REFUSAL_NO_IMAGE:
        return IDS_NO_FIRMWARE;
    case UPDATE_REFUSAL_IMAGE_DAMAGED:
        return IDS_IMAGE_DAMAGED;
    case UPDATE_REFUSAL_REPORTS_TOO_SHORT:
        break;
    }
    return IDS_REPORTS_TOO_SHORT;
}

std::uint32_t FailureText(UpdateStep step) {
    switch (step) {
    case UPDATE_STEP_NO_UNIT:
        return IDS_NO_UNIT_AT_UPDATE;
    case UPDATE_STEP_SYSTEM_LOCK:
        return IDS_LOCK_FAILED;
    case UPDATE_STEP_PROTECTION_OFF:
        return IDS_PROTECTION_OFF_FAILED;
    case UPDATE_STEP_PURGE:
        return IDS_PURGE_FAILED;
    case UPDATE_STEP_SET_ADDRESS:
        return IDS_ADDRESS_FAILED;
    case UPDATE_STEP_DATA_BLOCK:
        break;
    }
    return IDS_DATA_BLOCK_FAILED;
}

// The main window's side of one update: its message boxes, owned by the main
// window, and the progress window while the blocks are written.
class MainWindowUpdate final : public UpdateObserver {
public:
    bool ConfirmUpdate() override {
        return ShowMessageBox(mainWindow, LoadText(IDS_CONFIRM_UPDATE),
                              LoadText(IDS_CONFIRM_CAPTION),
                              BOX_OK_CANCEL | BOX_ICON_EXCLAMATION) == ANSWER_OK;
    }

    bool ConfirmOverwrite() override {
        return ShowMessageBox(mainWindow, LoadText(IDS_VERSION_QUESTION),
                              LoadText(IDS_VERSION_QUESTION_CAPTION),
                              BOX_YES_NO | BOX_ICON_EXCLAMATION) == ANSWER_YES;
    }

    // The window stays as it is.
    void Refused(UpdateRefusal refusal) override {
        ShowMessageBox(mainWindow, LoadText(RefusalText(refusal)),
                       LoadText(IDS_UPDATE_FAILED_CAPTION), BOX_OK | BOX_ICON_ERROR);
    }

    // The progress window, centred over the main window, on top of it. When
    // it cannot be created the blocks are written all the same, without it.
    void ProgressStarted() override {
        const ScreenRect main = GetWindowRectangle(mainWindow);
        const int x = main.left + ((main.right - main.left) >> 1) - PROGRESS_WIDTH / 2;
        const int y = main.top + ((main.bottom - main.top) >> 1) - PROGRESS_HEIGHT / 2;
        progress_ = CreateProgressWindow(mainWindow, LoadText(IDS_PROGRESS_TITLE), x, y,
                                         PROGRESS_WIDTH, PROGRESS_HEIGHT);
        recorded_ = 0;
        if (progress_ != 0) {
            SetProgressPosition(progress_, 0);
            RaiseWindowToTop(mainWindow);
            RaiseWindowToTop(progress_);
        }
    }

    void ProgressAdvanced(std::uint32_t percent) override {
        if (progress_ != 0) {
            SetProgressPosition(progress_, percent);
        }
        KeepWindowsInFront();
    }

    void ProgressEnded() override {
        if (progress_ != 0) {
            DestroyWindowNow(progress_);
            progress_ = 0;
        }
    }

    void Failed(UpdateStep step, std::int32_t status, std::uint32_t lastError) override {
        ReportUpdateFailure(LoadText(FailureText(step)), LoadText(IDS_UPDATE_FAILED_CAPTION),
                            status, lastError);
    }

    // The new version in the ESC row, Update off: this ESC is done.
    void Succeeded() override {
        EnableItem(mainWindow, IDC_UPDATE, false);
        RefreshVersionDisplay();
        SetItemText(mainWindow, IDC_HINT, LoadText(IDS_UPDATE_SUCCEEDED));
    }

private:
    // Once one of the updater's windows is in the foreground, put both on top
    // and show them; until then, try again after each block. Without a
    // progress window, never.
    void KeepWindowsInFront() {
        if (recorded_ == mainWindow || recorded_ == progress_) {
            return;
        }
        if (ForegroundWindow() != mainWindow && ForegroundWindow() != progress_) {
            return;
        }
        recorded_ = ForegroundWindow();
        RaiseWindowToTop(mainWindow);
        RaiseWindowToTop(progress_);
        ShowWindowNormally(mainWindow);
        ShowWindowNormally(progress_);
    }

    WindowHandle progress_ = 0;
    // The foreground window, once it was one of the updater's; 0 before.
    WindowHandle recorded_ = 0;
};

}  // namespace

void RunFirmwareUpdate() {
    MainWindowUpdate window;
    UpdateEscFirmware(window);
}

void ReportUpdateFailure(const std::wstring& text, const std::wstring& caption,
                         std::int32_t status, std::uint32_t lastError) {
    EnableItem(mainWindow, IDC_UPDATE, false);
    RefreshVersionDisplay();

    // LINK_NO_UNIT has no code to show; any other status comes with the last
    // error.
    std::wstring message = text;
    if (status != LINK_NO_UNIT) {
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
