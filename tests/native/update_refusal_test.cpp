// What the update refuses before it sends anything: an image that is not the
// one recorded when it was built, and a unit whose reports cannot carry a
// data block. In both cases the ESC keeps its firmware and the unit stays
// open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/commands.h"
#include "tests/native/shell_fixture.h"
#include "update/firmware_image.h"
#include "update/sha256.h"

namespace {

std::string Hex(const Sha256Digest& digest) {
    static const char* const DIGITS = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 15];
    }
    return text;
}

Sha256Digest Of(const std::string& text) {
    return Sha256(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Known digests: the empty message, "abc" (one block), a 56-byte message
// whose padding needs a second block, a 112-byte message of two blocks with
// room for the length, and a million bytes. A wrong round constant, rotation
// or padding rule fails at least one.
TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Hex(Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Hex(Of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                     "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(Hex(Of(std::string(1'000'000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class UpdateRefusal : public ShellFixture {
protected:
    // A ready unit with these report lengths, Update enabled.
    void OpenReadyUnit(std::uint16_t outputLength = 60) {
        unit = MakeUnit();
        unit->outputReportLength = outputLength;
        emulated_bus::Plug(unit);
        OnInitDialog(DIALOG);
        ASSERT_TRUE(UpdateEnabled()) << "output report length " << outputLength;
        recorded_window::Reset();
        exchanges = unit->ExchangeCount();
        hint = Hint();
    }

    // Presses Update and expects exactly one error box with `textId`, and
    // nothing sent, the unit open, the window as it was.
    void ExpectRefusal(std::uint32_t textId) {
        ASSERT_TRUE(OnCommand(IDC_UPDATE));
        const auto boxes = recorded_window::Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, LoadText(IDS_UPDATE_FAILED_CAPTION));
        EXPECT_EQ(boxes[0].text, LoadText(textId));
        EXPECT_EQ(boxes[0].value, BOX_OK | BOX_ICON_ERROR);
        EXPECT_EQ(unit->ExchangeCount(), exchanges) << "something was sent";
        EXPECT_NE(unitConnection.handle, INVALID_HID_HANDLE);
        EXPECT_TRUE(UpdateEnabled());
        EXPECT_EQ(Hint(), hint);
        EXPECT_EQ(unit->esc.flash, flashBefore);
    }

    std::shared_ptr<EmulatedUnit> unit;
    std::uint32_t exchanges = 0;
    std::wstring hint;
    std::vector<std::uint8_t> flashBefore;
};

// A damaged image (one bit flipped, as a bad download would leave it) and an
// image without a recorded digest are never written.
TEST_F(UpdateRefusal, ImageThatDoesNotMatchItsRecordedDigest) {
    OpenReadyUnit();
    flashBefore = unit->esc.flash;
    const FirmwareImage linked = LocateFirmwareImage();
    std::vector<std::uint8_t> damaged(linked.data, linked.data + linked.size);
    const Sha256Digest recorded = Sha256(damaged.data(), damaged.size());
    damaged[50'000] ^= 0x10;
    SetNativeFirmwareImage(damaged.data(), static_cast<std::uint32_t>(damaged.size()));
    SetNativeFirmwareDigest(recorded.data());
    ExpectRefusal(IDS_IMAGE_DAMAGED);

    recorded_window::Reset();
    SetNativeFirmwareImage(linked.data, linked.size);  // no digest recorded
    ExpectRefusal(IDS_IMAGE_DAMAGED);
}

// A unit whose output report holds identification's commands (12 bytes) but
// not a whole data block (4 + 48 bytes) is refused before the lock, the
// unlock and the purge that would otherwise leave its ESC erased.
TEST_F(UpdateRefusal, UnitWhoseReportsCannotCarryADataBlock) {
    OpenReadyUnit(51);
    flashBefore = unit->esc.flash;
    ExpectRefusal(IDS_REPORTS_TOO_SHORT);
}

// Exactly long enough is long enough: the whole image goes through.
TEST_F(UpdateRefusal, UnitWithJustLongEnoughReportsIsUpdated) {
    OpenReadyUnit(52);
    ASSERT_TRUE(OnCommand(IDC_UPDATE));
    EXPECT_EQ(Hint(), LoadText(IDS_UPDATE_SUCCEEDED));
    const FirmwareImage image = LocateFirmwareImage();
    EXPECT_TRUE(std::equal(image.data, image.data + image.size, unit->esc.flash.begin()));
}

}  // namespace
