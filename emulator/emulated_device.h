// Emulated HID devices, plugged into the emulated bus (emulator/emulated_bus.h)
// through which the real link code talks to them as it would to hardware.
// Each device keeps a log of the reports it received and sent, with the
// time, and can be told to misbehave at a chosen exchange.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_bus.h"
#include "link/report.h"
#include "platform/errors.h"
#include "platform/hid.h"

// Blocks the host's call until `deadlineUs` on the platform clock, while the
// device works or the host's time limit runs. The simulated clock moves its
// time on; a real clock waits.
void DeviceWaitUntil(std::uint64_t deadlineUs);

// Ways an exchange can go wrong. The fault applies to the exchange it is
// armed for (see Fault).
enum class FaultKind {
    WriteFails,    // the write fails at once with `lastError`
    WriteHangs,    // the write never completes; the host's time limit ends it
    ReadFails,     // the command is received, the read fails with `lastError`
    NoReply,       // the command is received, no reply ever comes
    UnitError,     // the reply carries status 0xFF and `errorCode`
    WrongState,    // the reply's state byte is inverted
    Unplug,        // the device is pulled out just before this exchange's write
    UnplugBeforeReply,  // the command is received and carried out, then the
                        // device is pulled out before its reply is read
};

struct Fault {
    FaultKind kind = FaultKind::WriteFails;
    // Which exchange: the `exchange`-th report the device receives (1-based)
    // when non-zero; otherwise the `occurrence`-th report with command code
    // `command`.
    std::uint32_t exchange = 0;
    int command = -1;
    std::uint32_t occurrence = 1;
    std::uint32_t errorCode = 0;
    std::uint32_t lastError = PLATFORM_ERROR_GEN_FAILURE;
};

struct LoggedReport {
    bool fromHost;                   // true: output report, false: input report
    std::uint64_t requestedAtUs;     // when the host called write or read
    std::uint64_t completedAtUs;     // when the call returned with the report
    std::vector<std::uint8_t> bytes;
};

class EmulatedDevice {
public:
    EmulatedDevice(std::wstring path, std::uint16_t vendorId, std::uint16_t productId);
    virtual ~EmulatedDevice();

    // Identity on the bus.
    std::wstring path;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t inputReportLength = REPORT_SIZE;
    std::uint16_t outputReportLength = REPORT_SIZE;

    // Platform-level misbehaviour of this interface.
    bool pathReadable = true;
    bool openable = true;
    bool attributesReadable = true;
    bool capabilitiesReadable = true;

    // Faults armed for coming exchanges; each fires once.
    std::vector<Fault> faults;
    void ArmFault(const Fault& fault) { faults.push_back(fault); }

    const std::vector<LoggedReport>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // The output reports received, in order.
    std::vector<std::vector<std::uint8_t>> Commands() const;
    // Microseconds between the completion of log entry `from` and the request
    // of log entry `to`: how long the host waited between the two reports.
    std::uint64_t HostWaitBetween(std::size_t from, std::size_t to) const;
    // The least time, in microseconds, that the host waited from the reply to
    // a report with command code `command` to its next report, over the log
    // from entry `from` on; nothing when no such reply was followed by one.
    std::optional<std::uint64_t> LeastHostWaitAfter(std::uint8_t command,
                                                    std::size_t from = 0) const;

    std::uint32_t ExchangeCount() const { return exchanges_; }
    // Writes and reads the host made with a length or report ID that the
    // HID class driver refuses.
    std::uint32_t MalformedTransfers() const { return malformedTransfers_; }
    // How many reports with this command code the device has received.
    std::uint32_t CommandCount(std::uint8_t command) const { return commandCounts_[command]; }

    // Called after the device has answered (or not) each report it received,
    // with the report; the demo's tour uses it to look at the window mid-update.
    std::function<void(const std::vector<std::uint8_t>&)> onReport;

    // Host side, called by the bus. As the HID class driver does, every
    // handle the host opens keeps its own queue of the input reports that
    // came since it was opened: each reads its own copy of every report, a
    // report that comes after a read gave up waits there for the next read,
    // and beyond MAX_QUEUED_INPUT_REPORTS the oldest is dropped.
    void HostOpened(HidHandle handle);
    void HostClosed(HidHandle handle);
    bool HostWrite(const std::uint8_t* report, std::uint32_t length, std::uint32_t timeoutMs,
                   std::uint32_t& lastError);
    bool HostRead(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                  std::uint32_t timeoutMs, std::uint32_t& lastError);

    // How many input reports the HID class driver keeps for one handle.
    static constexpr std::size_t MAX_QUEUED_INPUT_REPORTS = 32;

    bool plugged = false;

    // Pulled out: the device has lost its power, and a reply it still owed
    // the host never comes; what the handles had queued is gone with the
    // device (their reads fail from now on), and nothing of it is taken for
    // the reply to a command after the device is plugged in again. Called
    // by the bus.
    virtual void Unplugged();

    // A reply the device has queued for the host: its bytes, when it is ready
    // on the platform clock, and, when non-zero, the last-error value with
    // which the host's read fails instead.
    struct PendingReply {
        std::vector<std::uint8_t> bytes;
        std::uint64_t readyAtUs;
        std::uint32_t failWith;
    };

    // For a host that cannot block (the browser), in place of HostRead: takes
    // the next reply the device has queued after HostWrite, without waiting
    // for it, and logs it as sent when it is ready. The host hands it on when
    // that time comes. Nothing when the device owes no reply.
    std::optional<PendingReply> TakeReply();

protected:
    // The device's answer to one output report, `report` holding
    // outputReportLength bytes. Returns the input report (the device pads or
    // cuts it to inputReportLength) and how long after the command it is
    // ready, or nothing when the device does not answer.
    struct Answer {
        std::vector<std::uint8_t> bytes;
        std::uint32_t delayMs = 0;
    };
    virtual std::optional<Answer> Respond(const std::vector<std::uint8_t>& report) = 0;

    // The fault for the exchange just begun with `report` (ExchangeCount() is
    // its number), if any: by default the first armed fault that matches it,
    // taken off the list.
    virtual std::optional<Fault> TakeFault(const std::vector<std::uint8_t>& report);

private:
    // Moves the replies that are ready by now, in the order the device sent
    // them, into the queue of every handle open at this moment.
    void DeliverReadyReplies();

    // Replies the device has sent or is working on, in order; a reply is on
    // the wire once its time has come.
    std::deque<PendingReply> replies_;
    // The HID class driver's queue of input reports of each open handle.
    std::map<HidHandle, std::deque<PendingReply>> handleQueues_;
    std::vector<LoggedReport> log_;
    std::uint32_t exchanges_ = 0;
    std::uint32_t malformedTransfers_ = 0;
    std::vector<std::uint32_t> commandCounts_ = std::vector<std::uint32_t>(256, 0);
};

// A HID device that is not a programming unit (a mouse, a keyboard, another
// vendor's gadget): it never answers a report.
class SilentDevice : public EmulatedDevice {
public:
    using EmulatedDevice::EmulatedDevice;

protected:
    std::optional<Answer> Respond(const std::vector<std::uint8_t>&) override { return {}; }
};
