// The emulated programming unit as a kernel HID device, through Linux's
// /dev/uhid.
//
// The same model as the tests and the demos (EmulatedUnit, set up by
// PlugDemoUnit) answers the reports; the kernel makes it a USB HID device
// with a hidraw node, which any HID host on the machine (hidraw, a browser's
// WebHID, Wine's HID bus) opens as it would a LINK-BOX or an ORBICON.
//
// Nothing blocks: an output report from the kernel goes to the model with
// EmulatedDevice::HostWrite, the model's reply is taken with TakeReply and
// handed to the kernel when it is due on the model's clock (the real one).
// The owner runs the loop: it waits for the uhid file to become readable or
// for NextTimerUs, and calls HandleKernelEvent and RunTimers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/demo_unit.h"

// A fault for the next update, as the command line and the control channel
// name it: "KIND:STEP[:BLOCK][:CODE]".
//   KIND   unit-error, no-reply, unplug (before the report reaches the unit),
//          unplug-before-reply (carried out, then pulled out), none
//   STEP   lock, protection-off, purge, address, block (BLOCK: the block-th
//          data block, 1-based)
//   CODE   the unit's error code for unit-error (default 0xABCD)
// e.g. "unit-error:purge:0x1234", "no-reply:block:2", "unplug:block:500".
struct UhidFault {
    DemoFaultKind kind = DemoFaultKind::None;
    DemoFaultStep step = DemoFaultStep::SystemLock;
    std::uint32_t block = 1;
    std::uint32_t errorCode = 0xABCD;
};

// Returns false and says why in `error` when `text` names no fault.
bool ParseUhidFault(const std::string& text, UhidFault& fault, std::string& error);

// The unit's report descriptor: one vendor-defined application collection
// (usage page 0xFF00, usage 1) with output report ID 1 (the commands) and
// input report ID 2 (the replies), each `length - 1` bytes after its ID, so
// that a host's report lengths, ID included, are the ones given (2 to 60).
std::vector<std::uint8_t> UnitReportDescriptor(std::uint16_t inputReportLength,
                                               std::uint16_t outputReportLength);

// The product name the unit gives the kernel.
std::string UnitProductName(std::uint16_t productId);

class UhidUnit {
public:
    // `uhid`: /dev/uhid opened for reading and writing (or a test's stand-in
    // that speaks struct uhid_event); the caller keeps it open while the
    // unit lives. `phys` is the device's physical path for the kernel, also
    // how the unit finds its hidraw node: the entry of `hidrawClassDir`
    // (/sys/class/hidraw) whose device has it, and that entry's name in
    // `devDir` (/dev). `say` receives one line of news at a time.
    UhidUnit(int uhid, const DemoUnitSettings& settings, std::string phys,
             std::string hidrawClassDir, std::string devDir,
             std::function<void(const std::string&)> say);
    ~UhidUnit();

    UhidUnit(const UhidUnit&) = delete;
    UhidUnit& operator=(const UhidUnit&) = delete;

    // Arms a fault for the next update; replaces one armed before. With
    // DemoFaultKind::None it disarms. False when the unit is pulled out.
    bool ArmFault(const UhidFault& fault);

    // After the unit was pulled out by a fault, plug it in again after this
    // many milliseconds (none: it stays out until Plug).
    void SetReplugAfterFault(std::optional<std::uint32_t> milliseconds);

    // The USB vendor ID the device announces from the next Plug on (the
    // unit's own, UNIT_VENDOR_ID of link/report.h, unless set; hidraw-exchange
    // looks for the same): with another one it is a HID device
    // that is not a programming unit, for tests of what matches the unit.
    void SetVendorId(std::uint16_t vendorId) { vendorId_ = vendorId; }

    // Plugs the unit in: a new kernel device (UHID_CREATE2). The model is the
    // same as before, with the ESC and its flash as they were; the unit's own
    // session (system lock, purge, write address) starts afresh, as after a
    // power cycle. False when the kernel refused the device.
    bool Plug();

    // Pulls the unit out (UHID_DESTROY); replies still owed are lost. With
    // `replugAfterMs` it is plugged in again that much later.
    void Unplug(std::optional<std::uint32_t> replugAfterMs = std::nullopt);

    // Reads one event from the kernel and acts on it. False when the uhid
    // file cannot be read or written any more.
    bool HandleKernelEvent();

    // Hands the kernel the replies that are due, plugs in again when it is
    // time, and looks for the hidraw node of a new device.
    void RunTimers(std::uint64_t nowUs);

    // The microsecond on the model's clock at which RunTimers has work next.
    std::optional<std::uint64_t> NextTimerUs() const;

    // Whether a kernel device exists now, and its hidraw node once found.
    bool Created() const { return created_; }
    const std::string& Node() const { return node_; }

    // One line: plugged or not, the node, open or not, exchanges so far,
    // data blocks and bytes accepted since the last purge, lock and
    // protection, the ESC's version, whether a fault is armed, the reports
    // the unit received and the entries of its log.
    std::string StatusLine() const;

    // The model: the ESC's flash, the report log.
    const EmulatedUnit& Model() const { return *model_; }

    // Called with the node's path each time a new device's hidraw node is
    // found.
    std::function<void(const std::string&)> onNode;

private:
    struct QueuedReply {
        std::uint64_t dueUs;
        std::vector<std::uint8_t> bytes;
    };

    bool WriteEvent(const void* event, const char* what);
    void HandleOutput(const std::uint8_t* data, std::uint32_t size);
    void DestroyDevice();
    std::string UsbIds() const;  // "3f19:0002"
    void PulledOutByFault(const char* when);
    void LookForNode(std::uint64_t nowUs);

    int uhid_;
    DemoUnitSettings settings_;
    std::string phys_;
    std::string hidrawClassDir_;
    std::string devDir_;
    std::function<void(const std::string&)> say_;
    std::shared_ptr<EmulatedUnit> model_;

    bool created_ = false;
    bool started_ = false;
    bool opened_ = false;
    std::string node_;
    std::optional<std::uint64_t> nodeLookupUs_;
    std::uint64_t nodeLookupEndUs_ = 0;
    std::deque<QueuedReply> replies_;
    std::optional<std::uint32_t> replugAfterFaultMs_;
    std::optional<std::uint64_t> replugAtUs_;
    std::uint16_t vendorId_;
};
