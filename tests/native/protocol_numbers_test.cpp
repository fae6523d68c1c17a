// The numbers that the unit and the owner depend on, each pinned once to its
// literal value, as the unit's protocol and the update have it: here, but
// for what a test of the exact bytes sent pins.
// Everywhere else the updater and the tests use the names, and
// the emulated unit has its own numbers written out: a wrong value in a
// header fails this table by its name, also where the behaviour would only
// show it against a real unit.
#include <gtest/gtest.h>

#include <cstdint>

#include "link/commands.h"
#include "link/report.h"
#include "update/firmware_image.h"
#include "update/firmware_update.h"

namespace {

struct PinnedNumber {
    const char* name;
    std::uint64_t defined;    // as the headers define it
    std::uint64_t literal;    // as the protocol and the update have it
};

#define PINNED(name, literal) \
    PinnedNumber{#name, static_cast<std::uint64_t>(name), static_cast<std::uint64_t>(literal)}

// Catches a report size or reply ID that the unit would refuse or not
// recognise, a result code that would show the wrong code line (or
// none), an accepted ESC type or state that would turn away the
// owner's ORVANTO (or offer Update for another ESC), a version other than
// 3.0, and blocks or waits other than those the ESC needs.
TEST(ProtocolNumbers, AreTheValuesTheUnitAndTheOwnerDependOn) {
    const PinnedNumber pinned[] = {
        // The units on the USB.
        PINNED(UNIT_VENDOR_ID, 0x3F19),
        PINNED(PRODUCT_ID_ORBICON, 1),
        PINNED(PRODUCT_ID_LINK_BOX, 2),
        // The reports. The command codes, their length bytes, the report's
        // ID, the confirmation code and the addresses are pinned where
        // their exact bytes are: link_exchange_test.cpp and
        // link_identify_test.cpp.
        PINNED(REPORT_SIZE, 60),
        PINNED(REPLY_REPORT_ID, 0x02),
        PINNED(REPLY_STATUS_FAILED, 0xFF),
        // The link's results: whether a failure box has a code line (not
        // for LINK_NO_UNIT), and the codes an owner reads in it.
        PINNED(LINK_OK, 0),
        PINNED(LINK_NO_UNIT, -1),
        PINNED(LINK_WRITE_FAILED, -2),
        PINNED(LINK_READ_FAILED, -3),
        PINNED(LINK_NOT_FOUND, -4),
        PINNED(LINK_NOT_CONFIRMED, 1627),
        // The ESC.
        PINNED(ESC_FIRMWARE_INFO_SIZE, 32),
        PINNED(ESC_IDENTITY_SIZE, 40),
        PINNED(ESC_STATE_UPDATABLE, 3),
        PINNED(ESC_TYPE_ORVANTO_A, 0x111F405A),
        PINNED(ESC_TYPE_ORVANTO_B, 0x0A06405A),
        PINNED(ESC_NO_FIRMWARE_VERSION, 0xFFFF),
        PINNED(NEW_FIRMWARE_VERSION, 0x0300),
        // The update's blocks and waits.
        PINNED(BLOCK_BYTES, 48),
        PINNED(MAX_BLOCK_WORDS, 14),
        PINNED(STEP_PAUSE_MS, 20),
        PINNED(PURGE_REPLY_DELAY_MS, 1000),
        PINNED(AFTER_PURGE_PAUSE_MS, 4000),
    };
    for (const PinnedNumber& number : pinned) {
        EXPECT_EQ(number.defined, number.literal)
            << number.name << " is " << static_cast<std::int64_t>(number.defined) << ", not "
            << static_cast<std::int64_t>(number.literal);
    }
}

#undef PINNED

}  // namespace
