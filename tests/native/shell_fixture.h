// The fixture of the shell and update tests: an empty bus, the simulated
// clock, the recorded main window, English texts, no unit open.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "app/connection_status.h"
#include "app/shell.h"
#include "app/texts.h"
#include "emulator/emulated_unit.h"
#include "link/unit_connection.h"
#include "platform/native/native_resources.h"
#include "tests/native/recorded_window.h"
#include "tests/native/scripted_device.h"
#include "tests/stories/story.h"

constexpr WindowHandle DIALOG = 0x1234;
const std::wstring UNIT_PATH =
    L"\\\\?\\HID#VID_3F19&PID_0002#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class ShellFixture : public BusTest {
protected:
    void SetUp() override {
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", "C.UTF-8", 1);
        BusTest::SetUp();
        recorded_window::Reset();
        UseLinkedFirmwareImage();
        StartShell();
    }

    void TearDown() override {
        UseLinkedFirmwareImage();
        BusTest::TearDown();
    }

    std::shared_ptr<EmulatedUnit> MakeUnit(const std::wstring& path = UNIT_PATH,
                                           std::uint16_t productId = PRODUCT_ID_LINK_BOX) {
        return std::make_shared<EmulatedUnit>(path, productId);
    }

    int Arrive(const std::wstring& path) {
        const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, path};
        return OnDeviceChange(DEVICE_EVENT_ARRIVAL, &broadcast);
    }

    int Remove(const std::wstring& path) {
        const DeviceBroadcast broadcast{DEVICE_TYPE_INTERFACE, path};
        return OnDeviceChange(DEVICE_EVENT_REMOVE_COMPLETE, &broadcast);
    }

    std::wstring Hint() { return recorded_window::ItemText(IDC_HINT); }
    bool UpdateEnabled() { return recorded_window::ItemEnabled(IDC_UPDATE); }

    // The hint box's waiting form for `statusId`.
    static std::wstring Waiting(std::uint32_t statusId) { return StoryWaitingHint(statusId); }
};
