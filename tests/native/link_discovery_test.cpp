// Finding and opening the programming unit among the HID interfaces.
#include <gtest/gtest.h>

#include "emulator/emulated_unit.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "tests/native/scripted_device.h"

namespace {

class DiscoveryTest : public BusTest {
protected:
    std::shared_ptr<EmulatedUnit> PlugUnit(const std::wstring& path,
                                           std::uint16_t productId = PRODUCT_ID_LINK_BOX) {
        auto unit = std::make_shared<EmulatedUnit>(path, productId);
        emulated_bus::Plug(unit);
        return unit;
    }
    std::shared_ptr<SilentDevice> PlugOther(const std::wstring& path, std::uint16_t vendorId,
                                            std::uint16_t productId) {
        auto device = std::make_shared<SilentDevice>(path, vendorId, productId);
        emulated_bus::Plug(device);
        return device;
    }
};

// No HID interface at all: -4, nothing held, the list released.
TEST_F(DiscoveryTest, NoInterfacesGivesNotFoundAndTheInitialRecord) {
    EXPECT_EQ(DiscoverUnit(), LINK_NOT_FOUND);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    EXPECT_EQ(emulated_bus::OpenListCount(), 0u);
}

// Only other devices (Wine and Windows always list a mouse and a keyboard):
// each is opened, found not to match, and closed again.
TEST_F(DiscoveryTest, NonMatchingDevicesAreClosedAndSkipped) {
    PlugOther(L"mouse", 0x845E, 0x0001);
    PlugOther(L"unit-3", UNIT_VENDOR_ID, 3);
    PlugOther(L"unit-0", UNIT_VENDOR_ID, 0);
    EXPECT_EQ(DiscoverUnit(), LINK_NOT_FOUND);
    EXPECT_EQ(emulated_bus::OpenCount(L"mouse"), 1u);
    EXPECT_EQ(emulated_bus::OpenCount(L"unit-3"), 1u);
    EXPECT_EQ(emulated_bus::OpenCount(L"unit-0"), 1u);
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
    EXPECT_EQ(emulated_bus::OpenListCount(), 0u);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
}

// The interface list cannot be had: -1 and the initial record.
TEST_F(DiscoveryTest, ListingFailureGivesNoUnit) {
    PlugUnit(L"unit");
    emulated_bus::SetListingFails(true);
    EXPECT_EQ(DiscoverUnit(), LINK_NO_UNIT);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    EXPECT_EQ(emulated_bus::OpenCount(L"unit"), 0u);
}

// Interfaces that cannot be read, opened or asked for their IDs are passed
// over; the first matching one is opened, and nothing after it.
TEST_F(DiscoveryTest, FirstMatchInEnumerationOrderIsOpened) {
    PlugOther(L"keyboard", 0x845E, 0x0002);
    PlugOther(L"no-path", UNIT_VENDOR_ID, PRODUCT_ID_LINK_BOX)->pathReadable = false;
    PlugOther(L"locked-away", UNIT_VENDOR_ID, PRODUCT_ID_LINK_BOX)->openable = false;
    PlugOther(L"no-attributes", UNIT_VENDOR_ID, PRODUCT_ID_LINK_BOX)->attributesReadable = false;
    PlugOther(L"pid-3", UNIT_VENDOR_ID, 3);
    auto first = PlugUnit(L"\\\\?\\hid#vid_3f19&pid_0001#first", PRODUCT_ID_ORBICON);
    PlugUnit(L"second", PRODUCT_ID_LINK_BOX);

    EXPECT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_EQ(unitConnection.devicePath, first->path);
    EXPECT_EQ(unitConnection.productId, PRODUCT_ID_ORBICON);
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_EQ(emulated_bus::OpenCount(L"no-path"), 0u);
    EXPECT_EQ(emulated_bus::OpenCount(L"locked-away"), 1u);
    EXPECT_EQ(emulated_bus::OpenCount(L"second"), 0u) << "a later unit must never be opened";
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 1u) << "every skipped handle is closed";
    EXPECT_EQ(emulated_bus::OpenListCount(), 0u);
}

// Discovery while a unit is open closes it first, even when the same unit is
// found again.
TEST_F(DiscoveryTest, DiscoveryClosesTheOpenUnitFirst) {
    auto unit = PlugUnit(L"unit");
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    const HidHandle firstHandle = unitConnection.handle;
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    EXPECT_NE(unitConnection.handle, firstHandle);
    EXPECT_EQ(emulated_bus::OpenCount(L"unit"), 2u);
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 1u);
}

// The unit is gone by the time discovery runs again: the old handle is
// closed and the record is back in its initial state.
TEST_F(DiscoveryTest, RediscoveryAfterUnplugLeavesNothingOpen) {
    auto unit = PlugUnit(L"unit");
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    emulated_bus::Unplug(unit);
    EXPECT_EQ(DiscoverUnit(), LINK_NOT_FOUND);
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
}

// Identification fails: its code comes back and the unit stays open with its
// path, so the shell can recognise its removal.
TEST_F(DiscoveryTest, FailedIdentificationLeavesTheUnitOpen) {
    auto unit = PlugUnit(L"unit");
    Fault fault;
    fault.kind = FaultKind::ReadFails;
    fault.exchange = 1;
    unit->ArmFault(fault);
    EXPECT_EQ(DiscoverUnit(), LINK_READ_FAILED);
    EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_EQ(unitConnection.devicePath, L"unit");
    EXPECT_EQ(unitConnection.productId, PRODUCT_ID_LINK_BOX);
    EXPECT_EQ(unitConnection.inputReportLength, 60u) << "what identification stored stays";
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 1u);
}

// ResetConnection with nothing open closes nothing and keeps the initial state;
// with a unit open it closes the handle and forgets everything.
TEST_F(DiscoveryTest, ResetConnectionReturnsToTheInitialState) {
    ResetConnection();
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    PlugUnit(L"unit");
    ASSERT_EQ(DiscoverUnit(), LINK_OK);
    ASSERT_EQ(emulated_bus::OpenHandleCount(), 1u);
    ResetConnection();
    EXPECT_TRUE(ConnectionsEqual(unitConnection, InitialConnection()));
    EXPECT_EQ(emulated_bus::OpenHandleCount(), 0u);
    EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
    EXPECT_TRUE(unitConnection.devicePath.empty());
}

}  // namespace
