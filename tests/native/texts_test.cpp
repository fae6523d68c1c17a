// The bounded formatter, the texts and the version rules.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/main_window_painting.h"
#include "app/texts.h"
#include "app/version_display.h"
#include "link/report.h"
#include "platform/errors.h"
#include "res/resource.h"
#include "tests/window_title.h"

namespace {

// Sets LANG (and clears its overrides) for one test.
class LanguageScope {
public:
    explicit LanguageScope(const char* lang) {
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", lang, 1);
    }
    ~LanguageScope() { setenv("LANG", "C.UTF-8", 1); }
};

// The three conversions the system uses, with printf's meaning in a wide
// format whatever the C library thinks %s means there.
TEST(FormatText, ExpandsTextDecimalAndEightHexDigits) {
    EXPECT_EQ(FormatText(256, L"VESTORA %s FW Updater %u.%u %s", {L"ORVANTO", 3, 0, L""}),
              WINDOW_TITLE);
    const auto writeFailed = static_cast<std::uint32_t>(LINK_WRITE_FAILED);
    EXPECT_EQ(FormatText(2048, L"0x%08x-0x%08x", {writeFailed, PLATFORM_ERROR_GEN_FAILURE}),
              L"0xfffffffe-0x0000001f");
    EXPECT_EQ(FormatText(2048, L"0x%08x", {LINK_NOT_CONFIRMED}), L"0x0000065b");
    EXPECT_EQ(FormatText(32, L"%u.%u", {0u, 4294967295u}), L"0.4294967295");
    EXPECT_EQ(FormatText(32, L"100%% %d %", {}), L"100% %d %");
}

// Whatever the arguments, the result never outgrows its buffer.
TEST(FormatText, NeverExceedsItsCapacity) {
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(FormatText(2048, L"%s%s", {longText, longText}).size(), 2047u);
    EXPECT_EQ(FormatText(8, L"%08x%08x", {1, 2}), L"0000000");
    EXPECT_EQ(FormatText(1, L"abc", {}), L"");
    EXPECT_EQ(FormatText(0, L"abc", {}), L"");
    EXPECT_EQ(FormatText(16, L"%s|%u|%08x", {}), L"||") << "missing arguments expand to nothing";
}

// The title is the same in both languages and ends with a blank.
TEST(Texts, EnglishAndGermanComeFromTheSameTable) {
    {
        LanguageScope english("en_US.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update failed!");
        EXPECT_EQ(LoadText(IDS_LABEL_UNIT), L"programming unit");
        EXPECT_EQ(LoadText(IDS_REGISTRATION_FAILED),
                  L"Failed to register Windows Device Manager. New devices on USB port cannot "
                  L"be detected.The program is closed.");
    }
    {
        LanguageScope german("de_DE.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update fehlgeschlagen!");
        EXPECT_EQ(LoadText(IDS_LABEL_BOOTLOADER), L"Regler-Bootloader");
        EXPECT_EQ(LoadText(IDS_ERROR_CODE_LINE), L"Das System meldet Fehlercode 0x%08x-0x%08x");
        EXPECT_NE(LoadText(IDS_INSTRUCTIONS).find(L"Windows\u2122PC"), std::wstring::npos);
    }
    {
        LanguageScope austrian("de_AT.UTF-8");
        EXPECT_EQ(LoadText(IDS_UPDATE_FAILED_CAPTION), L"Update failed!");
    }
}

// The texts whose spacing and spelling are the product's own, letter for
// letter: the double blanks of 40000, 40023 and 60001, the blanks before line
// breaks and at line starts in 40001 and 60002, and the wording of 40030 and
// 40038 (40011's missing blank is pinned above). Catches a slip in the text
// table, which every test that compares with the same table would pass.
TEST(Texts, KeepTheirOwnSpacingAndSpelling) {
    struct Pinned {
        std::uint32_t id;
        const char* lang;
        const wchar_t* text;
    };
    const Pinned pinned[] = {
        {40000, "en_US.UTF-8",
         L"A programming unit was found and is ready to update. To update to new ESC "
         L"firmware, please click on the 'Update'-Button.\r\n\r\n!!!  NOTE: Do not "
         L"disconnect Programming Unit from Computer until update is complete. If "
         L"disconnected before complete Programming Unit or ESC may no longer function  "
         L"!!!"},
        {40001, "en_US.UTF-8",
         L"1.)\r\nDisconnect the VESTORA ESC from the receiver (Master and Slave Port) "
         L"and connect the Master Port with the female connector of the LinkBOX/ORBICON. "
         L"NOTE: a BEC or male to male cable required. \r\nThe MERLOX-X needs instead a "
         L"program-cable.\r\n\r\n 2.)\r\nConnect the VESTORA ESC to an appropriate "
         L"battery. As soon as the connection is established the LEDs of the VESTORA ESC "
         L"and the LinkBOX starts flashing.\r\n\r\n 3.)\r\n Now connect the "
         L"LinkBOX/ORBICON with the supplied USB cable to your PC. If you use a ORBICON, "
         L"please push the button once.\r\n\r\n 4.)\r\n If the programming unit and the "
         L"ESC were found and ready to update, you can click on the 'Update'-Button to "
         L"update the firmware."},
        {40001, "de_DE.UTF-8",
         L"1.)\r\nTrennen Sie den VESTORA Regler vom Empf\u00e4nger (Master- u. "
         L"Slave-Port) und verbinden Sie die Buchse des BEC-Kabels der LinkBOX/ORBICON "
         L"mit dem Master-Port des Reglers. BEC-Kabel erforderlich. \r\nDer MERLOX-X "
         L"ben\u00f6tigt stattdessen ein Programmier-Kabel!\r\n\r\n2.)\r\nVerbinden Sie "
         L"den VESTORA Regler mit einem geeigneten Akku. Sobald die Spannungsversorgung "
         L"hergestellt ist blinken die LEDs des Reglers und der LinkBOX. Bei der ORBICON "
         L"blinkt nichts.\r\n\r\n3.)\r\nVerbinden Sie anschlie\u00dfend die "
         L"LinkBOX/ORBICON mit dem mitgelieferten USB-Kabel mit Ihrem Windows\u2122PC. "
         L"Bei der ORBICON m\u00fcssen Sie nun einmal den Taster "
         L"bet\u00e4tigen.\r\n\r\n4.)\r\nWenn Programmiereinheit und Regler vom PC "
         L"gefunden wurden und bereit zum Update sind, kann das Firmware-Update "
         L"\u00fcber den Button 'Update' gestartet werden."},
        {40023, "en_US.UTF-8",
         L"The firmware version is older or the same as the installed firmware version.  "
         L"If you continue you will be permanently deleting the current Firmware?"},
        {60001, "en_US.UTF-8",
         L"A programming unit was found and is ready to update. To start programming "
         L"unit update, click on the 'Update'-Button.\r\n\r\n!!!  NOTE: Do not "
         L"disconnect Programming Unit from Computer until update is complete. If "
         L"disconnected before complete Programming Unit or ESC may no longer function  "
         L"!!!"},
        {60002, "en_US.UTF-8",
         L"1) While pushing button on the Programming Unit, plug USB cable into "
         L"PC.\r\n\r\n2) Continue to depress the button until the red LED next to button "
         L"starts to flash, release button. \r\n\r\n3) The LED\u2019s on Programming "
         L"unit should now be flashing Red and Green, indicating the Programming Unit is "
         L"now in Bootloader mode. \r\n\r\n4) At this time the Updater Program should "
         L"have found the Programming Unit and the \u201cUpdate\u201d button should now "
         L"be active. Now click \u201cUpdate\u201d to update the firmware."},
        {40030, "de_DE.UTF-8",
         L"Der Updatevorgang wurd auf Grund eines Fehlers abgebrochen. Bitte versuchen "
         L"Sie es erneut. Falls der Fehler weiterhin aufgetreten sollte, kontaktieren "
         L"Sie bitte den VESTORA Service"},
        {40038, "en_US.UTF-8",
         L"IMPORTANT: Don't interrupt update process! As long as the LEDs at the "
         L"programming unit / ESC are flashing, the update is working! You will "
         L"informed, if the update finished!"},
    };
    for (const Pinned& p : pinned) {
        LanguageScope scope(p.lang);
        EXPECT_EQ(LoadText(p.id), p.text) << p.id << " " << p.lang;
    }
}

// All 43 ids exist in both languages; a missing id loads as empty.
TEST(Texts, EveryIdExistsInBothLanguages) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = 40000; id <= 40041; ++id) {
        if (id != 40010 && id != 40013 && id != 40014 && id != 40018 && id != 40019 &&
            id != 40021 && id != 40024) {
            ids.push_back(id);
        }
    }
    for (std::uint32_t id = 60001; id <= 60008; ++id) {
        ids.push_back(id);
    }
    ASSERT_EQ(ids.size(), 43u);
    for (const char* lang : {"en_GB.UTF-8", "de_DE.UTF-8"}) {
        LanguageScope scope(lang);
        for (std::uint32_t id : ids) {
            EXPECT_FALSE(LoadText(id).empty()) << id << " " << lang;
        }
        EXPECT_TRUE(LoadText(40010).empty());
    }
    {
        // The longest text is the German instructions; it fits its buffer whole.
        LanguageScope german("de_DE.UTF-8");
        const std::size_t longest = LoadText(IDS_INSTRUCTIONS).size();
        for (std::uint32_t id : ids) {
            EXPECT_LE(LoadText(id).size(), longest) << id;
        }
        EXPECT_LT(longest, TEXT_BUFFER_SIZE - 1);
    }
    LanguageScope english("C");
    EXPECT_NE(LoadText(60002).find(L"LED\u2019s"), std::wstring::npos);
    EXPECT_NE(LoadText(60002).find(L"\u201cUpdate\u201d"), std::wstring::npos);
}

// The programming unit's version: a word with byte 0 zero is shifted; byte 3
// leads when set; byte 2 never shows.
TEST(VersionRules, UnitVersion) {
    EXPECT_EQ(UnitVersionText(0x00010200), L"1.2");
    EXPECT_EQ(UnitVersionText(0x00000105), L"1.5");
    EXPECT_EQ(UnitVersionText(0x01000203), L"1.2.3");
    EXPECT_EQ(UnitVersionText(0x01020300), L"2.3");
    EXPECT_EQ(UnitVersionText(0), L"0.0");
    EXPECT_EQ(UnitVersionText(0xFFFFFFFF), L"255.255.255");
}

// The ESC bootloader's version: as the unit's, without the shift.
TEST(VersionRules, BootloaderVersion) {
    EXPECT_EQ(BootloaderVersionText(0x00FF0102), L"1.2");
    EXPECT_EQ(BootloaderVersionText(0x01000000), L"1.0.0");
    EXPECT_EQ(BootloaderVersionText(0x00010200), L"2.0");
}

// The ESC's firmware version: high byte, low byte; 0xFFFF is ten hyphens.
TEST(VersionRules, EscVersion) {
    EXPECT_EQ(EscVersionText(0x0300), L"3.0");
    EXPECT_EQ(EscVersionText(0x0A05), L"10.5");
    EXPECT_EQ(EscVersionText(0x00FF), L"0.255");
    EXPECT_EQ(EscVersionText(0xFFFF), L"----------");
    EXPECT_EQ(EscVersionText(0xFFFE), L"255.254");
}

// The logo right of the group box: as wide as the room there less 45 pixels,
// its height in the bitmap's proportions; never wider than half the bitmap,
// and with no lower bound when the room is too small.
TEST(LogoPlacement, FillsTheRoomBesideTheGroupUpToHalfTheBitmap) {
    const LogoPlacement room =
        PlaceLogo(1772, 263, {100, 120, 560, 500}, {110, 150, 330, 300}, 3, 22);
    EXPECT_EQ(room.x, 247);
    EXPECT_EQ(room.y, 8);
    EXPECT_EQ(room.width, 185);
    EXPECT_EQ(room.height, 27);

    const LogoPlacement wide =
        PlaceLogo(1772, 263, {0, 0, 3000, 500}, {10, 30, 330, 300}, 3, 22);
    EXPECT_EQ(wide.width, 886);
    EXPECT_EQ(wide.height, 131);

    const LogoPlacement cramped =
        PlaceLogo(1772, 263, {0, 0, 360, 500}, {10, 30, 330, 300}, 3, 22);
    EXPECT_EQ(cramped.width, -15) << "no lower bound";
}

}  // namespace
