// The unit's side of the uhid protocol, against a stand-in kernel: a socket
// pair that carries whole struct uhid_event records, as /dev/uhid does.
#include "emulator/uhid/uhid_unit.h"

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "link/report.h"
#include "platform/clock.h"

namespace {

// The kernel's end of the unit's event channel.
class StandInKernel {
public:
    StandInKernel() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            std::abort();
        }
        kernel_ = ends[0];
        unitSide = ends[1];
    }
    ~StandInKernel() {
        close(kernel_);
        close(unitSide);
    }

    int unitSide = -1;

    void Send(const uhid_event& event) {
        ASSERT_EQ(write(kernel_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
    }

    void SendType(std::uint32_t type) {
        uhid_event event{};
        event.type = type;
        Send(event);
    }

    void SendOutput(const std::vector<std::uint8_t>& report) {
        uhid_event event{};
        event.type = UHID_OUTPUT;
        std::memcpy(event.u.output.data, report.data(), report.size());
        event.u.output.size = static_cast<std::uint16_t>(report.size());
        event.u.output.rtype = UHID_OUTPUT_REPORT;
        Send(event);
    }

    // The next event the unit wrote, if one is waiting.
    std::optional<uhid_event> Next() {
        pollfd waiting{kernel_, POLLIN, 0};
        if (poll(&waiting, 1, 0) != 1) {
            return std::nullopt;
        }
        uhid_event event{};
        const ssize_t got = read(kernel_, &event, sizeof event);
        if (got != static_cast<ssize_t>(sizeof event)) {
            ADD_FAILURE() << "the unit wrote " << got << " bytes, not one whole event";
            return std::nullopt;
        }
        return event;
    }

private:
    int kernel_ = -1;
};

std::vector<std::uint8_t> Command(std::uint8_t code, std::uint8_t length, std::uint8_t flag = 0) {
    std::vector<std::uint8_t> report(REPORT_SIZE, 0);
    report[0] = COMMAND_REPORT_ID;
    report[1] = code;
    report[2] = length;
    report[3] = flag;
    return report;
}

std::vector<std::uint8_t> PurgeCommand() {
    auto report = Command(CMD_PURGE, 0x04);
    WriteLe32(&report[4], CONFIRMATION_CODE);
    return report;
}

std::vector<std::uint8_t> AddressCommand() {
    auto report = Command(CMD_SET_ADDRESS, 0x09, 0x01);
    WriteLe32(&report[8], CONFIRMATION_CODE);
    return report;
}

std::vector<std::uint8_t> DataCommand(std::uint8_t fill) {
    auto report = Command(CMD_WRITE_DATA, 48);
    std::fill(report.begin() + 4, report.begin() + 52, fill);
    return report;
}

class UhidUnitTest : public ::testing::Test {
protected:
    // A /sys/class/hidraw and a /dev of their own: hidraw1 is the unit's
    // node, hidraw0 another device's.
    void SetUp() override {
        char folder[] = "/tmp/uhid-unit-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
        sysDir = root + "/class";
        devDir = root + "/dev";
        for (const std::string& dir : {sysDir, sysDir + "/hidraw0", sysDir + "/hidraw0/device",
                                       sysDir + "/hidraw1", sysDir + "/hidraw1/device", devDir}) {
            ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
        }
        std::ofstream(sysDir + "/hidraw0/device/uevent") << "HID_PHYS=other-phys\n";
        std::ofstream(sysDir + "/hidraw1/device/uevent")
            << "DRIVER=hid-generic\nHID_PHYS=test-phys\nHID_UNIQ=x\n";
        std::ofstream(devDir + "/hidraw0") << "";
        std::ofstream(devDir + "/hidraw1") << "";
    }

    void TearDown() override {
        unit.reset();
        if (!root.empty()) {
            std::system(("rm -rf '" + root + "'").c_str());
        }
    }

    void MakeUnit(const DemoUnitSettings& settings = DemoUnitSettings{}) {
        unit.emplace(kernel.unitSide, settings, "test-phys", sysDir, devDir,
                     [this](const std::string& line) { news.push_back(line); });
    }

    // Plugs in and starts the device as the kernel would; returns the create event.
    uhid_event PlugAndStart() {
        EXPECT_TRUE(unit->Plug());
        std::optional<uhid_event> created = kernel.Next();
        EXPECT_TRUE(created.has_value());
        kernel.SendType(UHID_START);
        EXPECT_TRUE(unit->HandleKernelEvent());
        return created.value_or(uhid_event{});
    }

    // Hands the unit one output report and lets every timer run that is due
    // up to `laterMs` from now; returns the reply the kernel got, if any.
    std::optional<uhid_event> Exchange(const std::vector<std::uint8_t>& report,
                                       std::uint32_t laterMs = 0) {
        kernel.SendOutput(report);
        EXPECT_TRUE(unit->HandleKernelEvent());
        unit->RunTimers(MonotonicMicroseconds() + std::uint64_t{laterMs} * 1000);
        return kernel.Next();
    }

    // Lock, protection off, purge and address, each answered.
    void StartWriting() {
        ASSERT_TRUE(Exchange(Command(CMD_SYSTEM_LOCK, 0x01, 1)));
        ASSERT_TRUE(Exchange(Command(CMD_WRITE_PROTECT, 0x01, 0)));
        ASSERT_TRUE(Exchange(PurgeCommand(), 1000));
        ASSERT_TRUE(Exchange(AddressCommand()));
    }

    bool Said(const std::string& part) const {
        for (const std::string& line : news) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    StandInKernel kernel;
    std::string root;
    std::string sysDir;
    std::string devDir;
    std::vector<std::string> news;
    std::optional<UhidUnit> unit;
};

// Catches a device the kernel would not see as the unit: wrong bus, IDs,
// name, or a descriptor whose reports a host would size other than 60 bytes
// with the replies under report ID 2.
TEST_F(UhidUnitTest, PlugCreatesTheLinkBoxAsAUsbDeviceWithItsDescriptor) {
    MakeUnit();
    ASSERT_TRUE(unit->Plug());
    const std::optional<uhid_event> event = kernel.Next();
    ASSERT_TRUE(event);
    ASSERT_EQ(event->type, static_cast<std::uint32_t>(UHID_CREATE2));
    const uhid_create2_req& create = event->u.create2;
    EXPECT_EQ(create.bus, 0x03);
    EXPECT_EQ(create.vendor, 0x3F19u);
    EXPECT_EQ(create.product, 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(create.name), "ORVANTO LINK-BOX");
    EXPECT_STREQ(reinterpret_cast<const char*>(create.phys), "test-phys");
    const std::vector<std::uint8_t> expected = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
        0x85, 0x01, 0x95, 59, 0x09, 0x01, 0x91, 0x02,   // output report 1, 59 bytes
        0x85, 0x02, 0x95, 59, 0x09, 0x01, 0x81, 0x02,   // input report 2, 59 bytes
        0xC0};
    ASSERT_EQ(create.rd_size, expected.size());
    EXPECT_EQ(std::vector<std::uint8_t>(create.rd_data, create.rd_data + create.rd_size), expected);
    EXPECT_TRUE(unit->Created());
}

// Catches an ORBICON that announces itself as a LINK-BOX, and report
// lengths that do not follow the unit's settings.
TEST_F(UhidUnitTest, OrbiconWithShortReportsIsProductOneWithThoseLengths) {
    DemoUnitSettings settings;
    settings.productId = 1;
    settings.inputReportLength = 8;
    settings.outputReportLength = 20;
    MakeUnit(settings);
    const uhid_event created = PlugAndStart();
    EXPECT_EQ(created.u.create2.product, 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(created.u.create2.name), "ORVANTO ORBICON");
    const std::vector<std::uint8_t> descriptor = UnitReportDescriptor(8, 20);
    EXPECT_EQ(descriptor[17], 19);  // output: 20 bytes with the ID
    EXPECT_EQ(descriptor[25], 7);   // input: 8 bytes with the ID

    auto status = Command(CMD_GET_UNIT_STATUS, 0);
    status.resize(20);
    const std::optional<uhid_event> reply = Exchange(status);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.input2.size, 8);
}

// Catches a vendor ID that does not reach the kernel, or news that still
// names the unit's own IDs: the tests of the udev rule need a device that
// is not a programming unit.
TEST_F(UhidUnitTest, AnotherVendorIdIsAnnouncedAndNamed) {
    MakeUnit();
    unit->SetVendorId(0x1209);
    const uhid_event created = PlugAndStart();
    EXPECT_EQ(created.u.create2.vendor, 0x1209u);
    EXPECT_EQ(created.u.create2.product, 2u);
    EXPECT_TRUE(Said("created: ORVANTO LINK-BOX, USB 1209:0002"));
    EXPECT_FALSE(Said("3f19"));
}

// Catches a reply that does not reach the kernel as an input report of the
// full length with report ID 2 and the model's answer, or one that waits.
TEST_F(UhidUnitTest, StatusCommandIsAnsweredAtOnceWithInputReportTwo) {
    MakeUnit();
    PlugAndStart();
    const std::optional<uhid_event> reply = Exchange(Command(CMD_GET_UNIT_STATUS, 0));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->type, static_cast<std::uint32_t>(UHID_INPUT2));
    ASSERT_EQ(reply->u.input2.size, REPORT_SIZE);
    const std::uint8_t* data = reply->u.input2.data;
    EXPECT_EQ(data[0], REPLY_REPORT_ID);
    EXPECT_EQ(data[1], 0x00);
    EXPECT_EQ(data[3], 0x00);                 // normal firmware
    EXPECT_EQ(ReadLe16(&data[4]), 3);         // an updatable ESC
    EXPECT_EQ(ReadLe32(&data[8]), 0x00010400u);
    EXPECT_EQ(unit->Model().ExchangeCount(), 1u);
}

// Catches reports of a destroyed device taken as the new one's, and reports
// answered before the kernel started the device.
TEST_F(UhidUnitTest, OutputBeforeTheDeviceStartsIsNotTheUnits) {
    MakeUnit();
    ASSERT_TRUE(unit->Plug());
    ASSERT_TRUE(kernel.Next());
    kernel.SendOutput(Command(CMD_GET_UNIT_STATUS, 0));
    ASSERT_TRUE(unit->HandleKernelEvent());
    unit->RunTimers(MonotonicMicroseconds());
    EXPECT_FALSE(kernel.Next());
    EXPECT_EQ(unit->Model().ExchangeCount(), 0u);
}

// Catches a purge reply handed over before the ESC has finished erasing,
// i.e. a host that would read it early.
TEST_F(UhidUnitTest, PurgeReplyComesWhenTheEraseIsDone) {
    MakeUnit();
    PlugAndStart();
    ASSERT_TRUE(Exchange(Command(CMD_SYSTEM_LOCK, 0x01, 1)));
    ASSERT_TRUE(Exchange(Command(CMD_WRITE_PROTECT, 0x01, 0)));
    const std::uint64_t sent = MonotonicMicroseconds();
    kernel.SendOutput(PurgeCommand());
    ASSERT_TRUE(unit->HandleKernelEvent());
    unit->RunTimers(MonotonicMicroseconds());
    EXPECT_FALSE(kernel.Next());
    const std::optional<std::uint64_t> due = unit->NextTimerUs();
    ASSERT_TRUE(due);
    EXPECT_GE(*due, sent + 700'000);
    EXPECT_LT(*due, sent + 800'000);
    unit->RunTimers(*due);
    const std::optional<uhid_event> reply = kernel.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.input2.data[1], 0x00);
}

// Catches a short output report handed to the model as if the HID class
// driver had passed it, or answered.
TEST_F(UhidUnitTest, ReportOfTheWrongLengthIsRefusedWithoutReply) {
    MakeUnit();
    PlugAndStart();
    auto report = Command(CMD_GET_UNIT_STATUS, 0);
    report.resize(59);
    EXPECT_FALSE(Exchange(report));
    EXPECT_EQ(unit->Model().MalformedTransfers(), 1u);
    EXPECT_TRUE(Said("refused an output report of 59 bytes"));
}

// Catches a unit-error fault that does not reach the host as status 0xFF
// with the code, at the step it was armed for.
TEST_F(UhidUnitTest, UnitErrorFaultAtThePurge) {
    MakeUnit();
    UhidFault fault;
    std::string error;
    ASSERT_TRUE(ParseUhidFault("unit-error:purge:0x1234", fault, error)) << error;
    ASSERT_TRUE(unit->ArmFault(fault));
    PlugAndStart();
    ASSERT_TRUE(Exchange(Command(CMD_SYSTEM_LOCK, 0x01, 1)));
    ASSERT_TRUE(Exchange(Command(CMD_WRITE_PROTECT, 0x01, 0)));
    const std::optional<uhid_event> reply = Exchange(PurgeCommand(), 1000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.input2.data[1], REPLY_STATUS_FAILED);
    EXPECT_EQ(ReadLe32(&reply->u.input2.data[4]), 0x1234u);
}

// Catches a no-reply fault that answers anyway, or that silences the unit
// for good.
TEST_F(UhidUnitTest, NoReplyFaultSwallowsOnlyThatBlocksReply) {
    MakeUnit();
    UhidFault fault;
    std::string error;
    ASSERT_TRUE(ParseUhidFault("no-reply:block:2", fault, error)) << error;
    ASSERT_TRUE(unit->ArmFault(fault));
    PlugAndStart();
    StartWriting();
    EXPECT_TRUE(Exchange(DataCommand(0x11)));
    EXPECT_FALSE(Exchange(DataCommand(0x22), 5000));
    EXPECT_TRUE(Exchange(DataCommand(0x33)));
    EXPECT_EQ(unit->Model().blockLengths.size(), 3u);
}

// Catches an unplug fault that leaves the kernel device in place, carries
// the report out, or comes back with an erased flash or the old session.
TEST_F(UhidUnitTest, UnplugFaultDestroysTheDeviceAndReplugKeepsTheFlash) {
    MakeUnit();
    UhidFault fault;
    std::string error;
    ASSERT_TRUE(ParseUhidFault("unplug:block:2", fault, error)) << error;
    ASSERT_TRUE(unit->ArmFault(fault));
    unit->SetReplugAfterFault(50);
    PlugAndStart();
    StartWriting();
    ASSERT_TRUE(Exchange(DataCommand(0x11)));

    kernel.SendOutput(DataCommand(0x22));
    ASSERT_TRUE(unit->HandleKernelEvent());
    const std::optional<uhid_event> destroyed = kernel.Next();
    ASSERT_TRUE(destroyed);
    EXPECT_EQ(destroyed->type, static_cast<std::uint32_t>(UHID_DESTROY));
    EXPECT_FALSE(unit->Created());
    EXPECT_EQ(unit->Model().esc.flash[48], 0xFF);  // block 2 never arrived
    EXPECT_TRUE(Said("fault: the unit is pulled out before the report reached it"));

    const std::optional<std::uint64_t> replug = unit->NextTimerUs();
    ASSERT_TRUE(replug);
    unit->RunTimers(*replug - 1000);
    EXPECT_FALSE(kernel.Next());
    unit->RunTimers(*replug);
    const std::optional<uhid_event> created = kernel.Next();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->type, static_cast<std::uint32_t>(UHID_CREATE2));
    EXPECT_EQ(unit->Model().esc.flash[0], 0x11);
    EXPECT_EQ(unit->Model().esc.flash[47], 0x11);
    EXPECT_FALSE(unit->Model().systemLock);

    // The new device answers once the kernel has started it.
    kernel.SendType(UHID_START);
    ASSERT_TRUE(unit->HandleKernelEvent());
    EXPECT_TRUE(Exchange(Command(CMD_GET_UNIT_STATUS, 0)));
}

// Catches an unplug-before-reply fault that does not carry the block out,
// or whose reply still reaches the host.
TEST_F(UhidUnitTest, UnplugBeforeReplyCarriesTheBlockOutAndAnswersNothing) {
    MakeUnit();
    UhidFault fault;
    std::string error;
    ASSERT_TRUE(ParseUhidFault("unplug-before-reply:block:1", fault, error)) << error;
    ASSERT_TRUE(unit->ArmFault(fault));
    PlugAndStart();
    StartWriting();
    kernel.SendOutput(DataCommand(0x5A));
    ASSERT_TRUE(unit->HandleKernelEvent());
    unit->RunTimers(MonotonicMicroseconds() + 5'000'000);
    const std::optional<uhid_event> event = kernel.Next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, static_cast<std::uint32_t>(UHID_DESTROY));
    EXPECT_FALSE(kernel.Next());
    EXPECT_EQ(unit->Model().esc.flash[0], 0x5A);
    EXPECT_FALSE(unit->NextTimerUs());  // no re-plug asked for
}

// Catches a reply owed at the unplug that still goes to the next device.
TEST_F(UhidUnitTest, UnplugDropsTheReplyStillOwed) {
    MakeUnit();
    PlugAndStart();
    ASSERT_TRUE(Exchange(Command(CMD_SYSTEM_LOCK, 0x01, 1)));
    ASSERT_TRUE(Exchange(Command(CMD_WRITE_PROTECT, 0x01, 0)));
    kernel.SendOutput(PurgeCommand());
    ASSERT_TRUE(unit->HandleKernelEvent());
    unit->Unplug();
    std::optional<uhid_event> event = kernel.Next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, static_cast<std::uint32_t>(UHID_DESTROY));
    ASSERT_TRUE(unit->Plug());
    event = kernel.Next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, static_cast<std::uint32_t>(UHID_CREATE2));
    unit->RunTimers(MonotonicMicroseconds() + 5'000'000);
    EXPECT_FALSE(kernel.Next());
    EXPECT_NE(unit->StatusLine().find("lock=off"), std::string::npos);
}

// Catches a GET_REPORT left unanswered: the host's ioctl would hang until
// the kernel's time limit.
TEST_F(UhidUnitTest, GetReportIsAnsweredWithAnError) {
    MakeUnit();
    PlugAndStart();
    uhid_event request{};
    request.type = UHID_GET_REPORT;
    request.u.get_report.id = 77;
    request.u.get_report.rnum = 2;
    request.u.get_report.rtype = UHID_INPUT_REPORT;
    kernel.Send(request);
    ASSERT_TRUE(unit->HandleKernelEvent());
    const std::optional<uhid_event> answer = kernel.Next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, static_cast<std::uint32_t>(UHID_GET_REPORT_REPLY));
    EXPECT_EQ(answer->u.get_report_reply.id, 77u);
    EXPECT_NE(answer->u.get_report_reply.err, 0);
}

// Catches a node looked up by the wrong device, or announced before it is
// there.
TEST_F(UhidUnitTest, FindsItsHidrawNodeByItsPhysicalPath) {
    ASSERT_EQ(unlink((devDir + "/hidraw1").c_str()), 0);
    MakeUnit();
    std::string announced;
    unit->onNode = [&announced](const std::string& node) { announced = node; };
    PlugAndStart();
    unit->RunTimers(MonotonicMicroseconds());
    EXPECT_EQ(unit->Node(), "");  // its node is not in /dev yet
    EXPECT_EQ(announced, "");
    ASSERT_TRUE(unit->NextTimerUs());

    std::ofstream(devDir + "/hidraw1") << "";
    unit->RunTimers(*unit->NextTimerUs());
    EXPECT_EQ(unit->Node(), devDir + "/hidraw1");
    EXPECT_EQ(announced, devDir + "/hidraw1");
    EXPECT_TRUE(Said("plugged: " + devDir + "/hidraw1"));
    EXPECT_NE(unit->StatusLine().find("plugged node=" + devDir + "/hidraw1"), std::string::npos);
    EXPECT_FALSE(unit->NextTimerUs());
}

// Catches a unit that waits for its node for ever without saying so.
TEST_F(UhidUnitTest, SaysSoWhenNoNodeComes) {
    ASSERT_EQ(unlink((devDir + "/hidraw1").c_str()), 0);
    MakeUnit();
    PlugAndStart();
    unit->RunTimers(MonotonicMicroseconds() + 11'000'000);
    EXPECT_TRUE(Said("no hidraw node came"));
    EXPECT_FALSE(unit->NextTimerUs());
    EXPECT_NE(unit->StatusLine().find("status: plugging"), std::string::npos);
}

// Catches fault texts taken wrongly: each good one must arm exactly that
// fault, each bad one must be refused.
TEST(UhidFaultText, GoodAndBadTexts) {
    UhidFault fault;
    std::string error;
    ASSERT_TRUE(ParseUhidFault("unit-error:purge:0x1234", fault, error));
    EXPECT_EQ(fault.kind, DemoFaultKind::UnitError);
    EXPECT_EQ(fault.step, DemoFaultStep::Purge);
    EXPECT_EQ(fault.errorCode, 0x1234u);

    ASSERT_TRUE(ParseUhidFault("unit-error:block:7:0xFFFFFFFF", fault, error));
    EXPECT_EQ(fault.step, DemoFaultStep::DataBlock);
    EXPECT_EQ(fault.block, 7u);
    EXPECT_EQ(fault.errorCode, 0xFFFFFFFFu);

    ASSERT_TRUE(ParseUhidFault("unplug:block:500", fault, error));
    EXPECT_EQ(fault.kind, DemoFaultKind::Unplug);
    EXPECT_EQ(fault.block, 500u);

    ASSERT_TRUE(ParseUhidFault("no-reply:lock", fault, error));
    EXPECT_EQ(fault.kind, DemoFaultKind::NoReply);
    EXPECT_EQ(fault.step, DemoFaultStep::SystemLock);

    ASSERT_TRUE(ParseUhidFault("unplug-before-reply:protection-off", fault, error));
    EXPECT_EQ(fault.kind, DemoFaultKind::UnplugBeforeReply);
    EXPECT_EQ(fault.step, DemoFaultStep::ProtectionOff);

    ASSERT_TRUE(ParseUhidFault("unit-error:address", fault, error));
    EXPECT_EQ(fault.errorCode, 0xABCDu);

    ASSERT_TRUE(ParseUhidFault("none", fault, error));
    EXPECT_EQ(fault.kind, DemoFaultKind::None);

    for (const char* bad :
         {"", "unit-error", "unit-error:erase", "no-reply:block", "no-reply:block:0",
          "no-reply:block:x", "no-reply:purge:0x12", "unit-error:purge:0x1:2",
          "unit-error:purge:0x100000000", "unit-error:purge:-1", "write-fails:purge", "none:lock",
          "unplug:block:2:"}) {
        EXPECT_FALSE(ParseUhidFault(bad, fault, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
