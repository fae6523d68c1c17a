// WM_DEVICECHANGE as another program may send it: any event code, any lParam.
// The real dialog procedure, under Wine, with a ready emulated unit open; the
// broadcasts are built in memory so that reading one byte past them faults.
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "emulator/demo_unit.h"
#include "tests/wine/scaled_clock.h"
#include "tests/wine/updater_session.h"
#include "res/resource.h"
#include "tests/wine/expected_texts.h"

namespace session = updater_session;

namespace {

// `bytes` placed so that they end exactly at a page that cannot be read: a
// read past their end faults instead of finding a stray terminator.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::vector<std::uint8_t>& bytes) {
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        const std::size_t page = system.dwPageSize;
        const std::size_t pages = (bytes.size() + page - 1) / page + 1;
        base_ = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + (pages - 1) * page, page, PAGE_NOACCESS, &old);
        start_ = base_ + (pages - 1) * page - bytes.size();
        std::memcpy(start_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    LPARAM Address() const { return reinterpret_cast<LPARAM>(start_); }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* start_ = nullptr;
};

// An interface broadcast naming `name` without a terminator, whose size field
// says `sizeField` (the true size when 0).
std::vector<std::uint8_t> InterfaceBroadcast(const std::wstring& name, DWORD sizeField = 0) {
    constexpr std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<std::uint8_t> bytes(nameOffset + name.size() * sizeof(wchar_t), 0);
    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeField != 0 ? sizeField : static_cast<DWORD>(bytes.size());
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + nameOffset, name.data(), name.size() * sizeof(wchar_t));
    return bytes;
}

class DeviceChange : public ::testing::Test {
protected:
    void SetUp() override {
        SetClockScale(50);
        ASSERT_TRUE(session::Start(L"")) << "the main window did not appear";
        session::OnDialogThread([] { PlugDemoUnit(DemoUnitSettings{}); });
        ASSERT_TRUE(session::WaitFor([] { return session::ItemEnabled(IDC_UPDATE); }))
            << "the unit did not become ready";
        readyHint_ = session::ItemText(IDC_HINT);
    }

    void TearDown() override { EXPECT_EQ(session::Close(), 0); }

    // Sends WM_DEVICECHANGE to the dialog as another program would; false
    // when the dialog did not answer in time (or its thread died).
    bool Send(WPARAM event, LPARAM data) {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(session::MainWindow(), WM_DEVICECHANGE, event, data, SMTO_NORMAL,
                                   5000, &result) != 0;
    }

    bool StillReady() {
        return session::ItemEnabled(IDC_UPDATE) && session::ItemText(IDC_HINT) == readyHint_;
    }

    std::wstring readyHint_;
};

// A page that records whether anything read it: its first access clears
// PAGE_GUARD (and faults, which the window manager may swallow).
class TripwirePage {
public:
    TripwirePage() {
        page_ = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
    }
    ~TripwirePage() { VirtualFree(page_, 0, MEM_RELEASE); }
    TripwirePage(const TripwirePage&) = delete;
    TripwirePage& operator=(const TripwirePage&) = delete;

    LPARAM Address() const { return reinterpret_cast<LPARAM>(page_); }
    bool Touched() const {
        MEMORY_BASIC_INFORMATION info{};
        VirtualQuery(page_, &info, sizeof(info));
        return (info.Protect & PAGE_GUARD) == 0;
    }

private:
    void* page_ = nullptr;
};

// Event codes other than arrival and removal carry no broadcast: lParam must
// not be read at all (a pointer to nowhere would crash the program).
TEST_F(DeviceChange, OtherEventCodesLeaveLParamAlone) {
    for (WPARAM event : {WPARAM{DBT_DEVNODES_CHANGED}, WPARAM{DBT_QUERYCHANGECONFIG},
                         WPARAM{DBT_CONFIGCHANGED}, WPARAM{DBT_DEVICEQUERYREMOVE},
                         WPARAM{DBT_CUSTOMEVENT}}) {
        SCOPED_TRACE(event);
        TripwirePage lParam;
        ASSERT_FALSE(lParam.Touched());
        EXPECT_TRUE(Send(event, lParam.Address()));
        EXPECT_FALSE(lParam.Touched()) << "the dialog read lParam of event " << event;
    }
    EXPECT_TRUE(StillReady());
}

// A removal whose header is not an interface broadcast names no interface:
// the open unit stays open.
TEST_F(DeviceChange, RemovalOfANonInterfaceDeviceKeepsTheUnit) {
    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof(volume);
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    std::vector<std::uint8_t> bytes(sizeof(volume));
    std::memcpy(bytes.data(), &volume, sizeof(volume));
    GuardedBytes broadcast(bytes);
    EXPECT_TRUE(Send(DBT_DEVICEREMOVECOMPLETE, broadcast.Address()));
    EXPECT_TRUE(StillReady());
}

// The name ends where the header's size says, terminator or not: the unit's
// own path without a terminator, right before a page that cannot be read, is
// recognised and the unit closed; the same path with a size that cuts it
// short names another device and changes nothing.
TEST_F(DeviceChange, InterfaceNameIsReadOnlyWithinTheGivenSize) {
    const std::wstring path = DEMO_UNIT_PATH;
    constexpr DWORD nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

    GuardedBytes cutShort(
        InterfaceBroadcast(path, nameOffset + static_cast<DWORD>(path.size() / 2 * sizeof(wchar_t))));
    EXPECT_TRUE(Send(DBT_DEVICEREMOVECOMPLETE, cutShort.Address()));
    EXPECT_TRUE(StillReady()) << "a path cut short was taken for the unit's";

    GuardedBytes unterminated(InterfaceBroadcast(path));
    EXPECT_TRUE(Send(DBT_DEVICEREMOVECOMPLETE, unterminated.Address()));
    EXPECT_FALSE(session::ItemEnabled(IDC_UPDATE));
    EXPECT_EQ(session::ItemText(IDC_HINT).rfind(expected_texts::Text(IDS_CONNECTION_LOST), 0), 0u);
    EXPECT_EQ(session::ItemText(IDC_VERSION_UNIT), L"0.0.0") << "the removal was not handled";
}

}  // namespace
