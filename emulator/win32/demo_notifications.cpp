#include "emulator/win32/demo_notifications.h"

#include <windows.h>

#include <dbt.h>

#include <cstring>
#include <memory>

#include "app/shell.h"
#include "emulator/emulated_device.h"

namespace {

constexpr UINT WM_BUS_EVENT = WM_APP + 1;
constexpr UINT WM_RUN_WORK = WM_APP + 2;

HWND forwarder = nullptr;

// The broadcast that Windows would hand over for an interface event.
struct InterfaceBroadcast {
    WPARAM kind;
    std::unique_ptr<std::uint8_t[]> memory;
};

InterfaceBroadcast* MakeBroadcast(const BusEvent& event) {
    const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::size_t size = nameOffset + (event.path.size() + 1) * sizeof(wchar_t);
    auto* broadcast = new InterfaceBroadcast{
        event.kind == BusEventKind::Arrival ? WPARAM{DBT_DEVICEARRIVAL} : WPARAM{DBT_DEVICEREMOVECOMPLETE},
        std::make_unique<std::uint8_t[]>(size)};
    std::memset(broadcast->memory.get(), 0, size);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(broadcast->memory.get());
    header->dbcc_size = static_cast<DWORD>(size);
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(header->dbcc_name, event.path.c_str(), (event.path.size() + 1) * sizeof(wchar_t));
    return broadcast;
}

LRESULT CALLBACK ForwarderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_BUS_EVENT) {
        std::unique_ptr<InterfaceBroadcast> broadcast(reinterpret_cast<InterfaceBroadcast*>(lParam));
        if (mainWindow != 0) {
            SendMessageW(reinterpret_cast<HWND>(mainWindow), WM_DEVICECHANGE, broadcast->kind,
                         reinterpret_cast<LPARAM>(broadcast->memory.get()));
        }
        return 0;
    }
    if (message == WM_RUN_WORK) {
        std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(lParam));
        (*work)();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void QueueEvent(const BusEvent& event) {
    PostMessageW(forwarder, WM_BUS_EVENT, 0, reinterpret_cast<LPARAM>(MakeBroadcast(event)));
}

}  // namespace

void ForwardBusEventsToMainWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ForwarderProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvantoBusForwarder";
    RegisterClassExW(&windowClass);
    forwarder = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, windowClass.hInstance, nullptr);
    emulated_bus::SetListener(QueueEvent);
}

void PostToUpdaterThread(std::function<void()> work) {
    PostMessageW(forwarder, WM_RUN_WORK, 0,
                 reinterpret_cast<LPARAM>(new std::function<void()>(std::move(work))));
}
