#include "emulator/uhid/uhid_unit.h"

#include <dirent.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link/report.h"
#include "platform/clock.h"

namespace {

constexpr std::uint16_t BUS_USB_ID = 0x03;  // BUS_USB of <linux/input.h>
// The unit's USB device release (bcdDevice).
constexpr std::uint32_t UNIT_DEVICE_RELEASE = 0x0100;

// How long a new device may take to get its hidraw node, and how often the
// unit looks for it meanwhile.
constexpr std::uint64_t NODE_LOOKUP_LIMIT_US = 10'000'000;
constexpr std::uint64_t NODE_LOOKUP_INTERVAL_US = 10'000;

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
}

// A whole unsigned number that fits 32 bits: decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

void CopyText(std::uint8_t* field, std::size_t capacity, const std::string& text) {
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(field, text.data(), length);
    field[length] = 0;
}

}  // namespace

bool ParseUhidFault(const std::string& text, UhidFault& fault, std::string& error) {
    const std::vector<std::string> parts = Split(text, ':');
    UhidFault parsed;
    if (parts.empty()) {
        error = "no fault given";
        return false;
    }
    const std::string& kind = parts[0];
    if (kind == "none") {
        if (parts.size() != 1) {
            error = "\"none\" takes no step";
            return false;
        }
        fault = parsed;
        return true;
    }
    if (kind == "unit-error") {
        parsed.kind = DemoFaultKind::UnitError;
    } else if (kind == "no-reply") {
        parsed.kind = DemoFaultKind::NoReply;
    } else if (kind == "unplug") {
        parsed.kind = DemoFaultKind::Unplug;
    } else if (kind == "unplug-before-reply") {
        parsed.kind = DemoFaultKind::UnplugBeforeReply;
    } else if (kind == "write-fails") {
        error = "write-fails cannot happen on a kernel device: the kernel takes every output "
                "report before the unit sees it";
        return false;
    } else {
        error = "unknown fault \"" + kind +
                "\" (unit-error, no-reply, unplug, unplug-before-reply or none)";
        return false;
    }
    if (parts.size() < 2) {
        error = "the fault needs a step (lock, protection-off, purge, address or block:N)";
        return false;
    }
    const std::string& step = parts[1];
    std::size_t next = 2;
    if (step == "lock") {
        parsed.step = DemoFaultStep::SystemLock;
    } else if (step == "protection-off") {
        parsed.step = DemoFaultStep::ProtectionOff;
    } else if (step == "purge") {
        parsed.step = DemoFaultStep::Purge;
    } else if (step == "address") {
        parsed.step = DemoFaultStep::SetAddress;
    } else if (step == "block") {
        parsed.step = DemoFaultStep::DataBlock;
        if (parts.size() < 3 || !ParseNumber(parts[2], parsed.block) || parsed.block == 0) {
            error = "block needs its number, 1 or more (block:N)";
            return false;
        }
        next = 3;
    } else {
        error = "unknown step \"" + step + "\" (lock, protection-off, purge, address or block:N)";
        return false;
    }
    if (next < parts.size()) {
        if (parsed.kind != DemoFaultKind::UnitError) {
            error = "only unit-error takes an error code";
            return false;
        }
        if (!ParseNumber(parts[next], parsed.errorCode)) {
            error = "bad error code \"" + parts[next] + "\" (a 32-bit number, 0x for hexadecimal)";
            return false;
        }
        ++next;
    }
    if (next != parts.size()) {
        error = "too many parts in \"" + text + "\"";
        return false;
    }
    fault = parsed;
    return true;
}

std::vector<std::uint8_t> UnitReportDescriptor(std::uint16_t inputReportLength,
                                               std::uint16_t outputReportLength) {
    const auto bytesAfterId = [](std::uint16_t length) {
        return static_cast<std::uint8_t>(std::clamp<std::uint16_t>(length, 2, REPORT_SIZE) - 1);
    };
    return {
        0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
        0x09, 0x01,        // Usage (1)
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8 bits)
        0x85, COMMAND_REPORT_ID,                 //   Report ID (1): the commands
        0x95, bytesAfterId(outputReportLength),  //   Report Count
        0x09, 0x01,        //   Usage (1)
        0x91, 0x02,        //   Output (Data, Variable, Absolute)
        0x85, REPLY_REPORT_ID,                   //   Report ID (2): the replies
        0x95, bytesAfterId(inputReportLength),   //   Report Count
        0x09, 0x01,        //   Usage (1)
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0xC0,              // End Collection
    };
}

std::string UnitProductName(std::uint16_t productId) {
    return productId == 1 ? "ORVANTO ORBICON" : "ORVANTO LINK-BOX";
}

UhidUnit::UhidUnit(int uhid, const DemoUnitSettings& settings, std::string phys,
                   std::string hidrawClassDir, std::string devDir,
                   std::function<void(const std::string&)> say)
    : uhid_(uhid),
      settings_(settings),
      phys_(std::move(phys)),
      hidrawClassDir_(std::move(hidrawClassDir)),
      devDir_(std::move(devDir)),
      say_(std::move(say)),
      model_(PlugDemoUnit(settings)),
      vendorId_(UNIT_VENDOR_ID) {}

UhidUnit::~UhidUnit() {
    if (created_) {
        DestroyDevice();
    }
}

bool UhidUnit::ArmFault(const UhidFault& fault) {
    return ArmDemoFault(fault.kind, fault.step, fault.block, fault.errorCode);
}

void UhidUnit::SetReplugAfterFault(std::optional<std::uint32_t> milliseconds) {
    replugAfterFaultMs_ = milliseconds;
}

bool UhidUnit::WriteEvent(const void* event, const char* what) {
    // The kernel takes one whole struct uhid_event per write.
    const ssize_t written = write(uhid_, event, sizeof(uhid_event));
    if (written == static_cast<ssize_t>(sizeof(uhid_event))) {
        return true;
    }
    say_(std::string("the kernel refused ") + what + ": " +
         (written < 0 ? std::strerror(errno) : "short write"));
    return false;
}

bool UhidUnit::Plug() {
    replugAtUs_.reset();
    if (created_) {
        return true;
    }
    if (!model_->plugged) {
        // Back in after being pulled out: the model lost its session when it
        // was pulled out; the ESC behind it keeps its flash and protection.
        emulated_bus::Plug(model_);
    }
    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    CopyText(create.name, sizeof create.name, UnitProductName(settings_.productId));
    CopyText(create.phys, sizeof create.phys, phys_);
    CopyText(create.uniq, sizeof create.uniq,
             "EMULATED-000" + std::to_string(settings_.productId));
    const std::vector<std::uint8_t> descriptor =
        UnitReportDescriptor(settings_.inputReportLength, settings_.outputReportLength);
    std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
    create.rd_size = static_cast<std::uint16_t>(descriptor.size());
    create.bus = BUS_USB_ID;
    create.vendor = vendorId_;
    create.product = settings_.productId;
    create.version = UNIT_DEVICE_RELEASE;
    create.country = 0;
    if (!WriteEvent(&event, "the new device (UHID_CREATE2)")) {
        emulated_bus::Unplug(model_);
        return false;
    }
    created_ = true;
    started_ = false;
    opened_ = false;
    node_.clear();
    say_("created: " + UnitProductName(settings_.productId) + ", USB " + UsbIds());
    return true;
}

std::string UhidUnit::UsbIds() const {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId_, settings_.productId);
    return ids;
}

void UhidUnit::DestroyDevice() {
    uhid_event event{};
    event.type = UHID_DESTROY;
    WriteEvent(&event, "the removal (UHID_DESTROY)");
    created_ = false;
    started_ = false;
    opened_ = false;
    node_.clear();
    nodeLookupUs_.reset();
    replies_.clear();
}

void UhidUnit::Unplug(std::optional<std::uint32_t> replugAfterMs) {
    replugAtUs_.reset();
    if (model_->plugged) {
        emulated_bus::Unplug(model_);
    }
    if (created_) {
        DestroyDevice();
        say_("unplugged");
    }
    if (replugAfterMs) {
        replugAtUs_ = MonotonicMicroseconds() + std::uint64_t{*replugAfterMs} * 1000;
        say_("plugging in again in " + std::to_string(*replugAfterMs) + " ms");
    }
}

void UhidUnit::PulledOutByFault(const char* when) {
    say_(std::string("fault: the unit is pulled out ") + when + " (exchange " +
         std::to_string(model_->ExchangeCount()) + ")");
    DestroyDevice();
    say_("unplugged");
    if (replugAfterFaultMs_) {
        replugAtUs_ = MonotonicMicroseconds() + std::uint64_t{*replugAfterFaultMs_} * 1000;
        say_("plugging in again in " + std::to_string(*replugAfterFaultMs_) + " ms");
    }
}

void UhidUnit::HandleOutput(const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t lastError = 0;
    if (!model_->HostWrite(data, size, 0, lastError)) {
        if (!model_->plugged) {
            PulledOutByFault("before the report reached it");
            return;
        }
        const std::string id = size > 0 ? " with report ID " + Hex(data[0], 2) : "";
        say_("refused an output report of " + std::to_string(size) + " bytes" + id +
             ": the unit takes " + std::to_string(model_->outputReportLength) +
             "-byte reports with report ID " + Hex(COMMAND_REPORT_ID, 2));
        return;
    }
    const std::optional<EmulatedDevice::PendingReply> reply = model_->TakeReply();
    if (!model_->plugged) {
        PulledOutByFault("after carrying out the report, before its reply");
        return;
    }
    // A reply the model loses on the way never reaches the host.
    if (reply && reply->failWith == 0) {
        // One report at a time: a reply never overtakes an earlier one.
        const std::uint64_t after = replies_.empty() ? 0 : replies_.back().dueUs;
        replies_.push_back({std::max(reply->readyAtUs, after), reply->bytes});
    }
}

bool UhidUnit::HandleKernelEvent() {
    uhid_event event{};
    const ssize_t got = read(uhid_, &event, sizeof event);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return true;
        }
        say_(std::string("reading the kernel's events failed: ") + std::strerror(errno));
        return false;
    }
    if (got < static_cast<ssize_t>(sizeof event.type)) {
        say_("the kernel's event channel was closed");
        return false;
    }
    switch (event.type) {
    case UHID_START:
        // Events of a device destroyed before come ahead of the new one's
        // start; they are not the unit's any more.
        if (created_ && !started_) {
            started_ = true;
            const std::uint64_t now = MonotonicMicroseconds();
            nodeLookupUs_ = now;
            nodeLookupEndUs_ = now + NODE_LOOKUP_LIMIT_US;
        }
        break;
    case UHID_STOP:
        if (started_) {
            started_ = false;
            say_("stopped by the kernel");
        }
        break;
    case UHID_OPEN:
        if (started_) {
            opened_ = true;
            say_("opened");
        }
        break;
    case UHID_CLOSE:
        if (started_) {
            opened_ = false;
            say_("closed");
        }
        break;
    case UHID_OUTPUT:
        if (started_ && event.u.output.rtype == UHID_OUTPUT_REPORT) {
            HandleOutput(event.u.output.data,
                         std::min<std::uint32_t>(event.u.output.size, UHID_DATA_MAX));
        }
        break;
    case UHID_GET_REPORT: {
        // The unit has no feature reports, and no input report on request.
        uhid_event answer{};
        answer.type = UHID_GET_REPORT_REPLY;
        answer.u.get_report_reply.id = event.u.get_report.id;
        answer.u.get_report_reply.err = EIO;
        WriteEvent(&answer, "the answer to a GET_REPORT");
        break;
    }
    case UHID_SET_REPORT: {
        uhid_event answer{};
        answer.type = UHID_SET_REPORT_REPLY;
        answer.u.set_report_reply.id = event.u.set_report.id;
        answer.u.set_report_reply.err = EIO;
        WriteEvent(&answer, "the answer to a SET_REPORT");
        break;
    }
    default:
        break;
    }
    return true;
}

void UhidUnit::LookForNode(std::uint64_t nowUs) {
    const std::string wanted = "HID_PHYS=" + phys_;
    std::string found;
    if (DIR* dir = opendir(hidrawClassDir_.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("hidraw", 0) != 0) {
                continue;
            }
            std::ifstream uevent(hidrawClassDir_ + "/" + name + "/device/uevent");
            std::string line;
            while (std::getline(uevent, line)) {
                if (line == wanted) {
                    found = devDir_ + "/" + name;
                }
            }
        }
        closedir(dir);
    }
    if (!found.empty() && access(found.c_str(), F_OK) == 0) {
        nodeLookupUs_.reset();
        node_ = found;
        say_("plugged: " + node_ + " (" + UnitProductName(settings_.productId) + ", USB " +
             UsbIds() + ")");
        if (onNode) {
            onNode(node_);
        }
        return;
    }
    if (nowUs >= nodeLookupEndUs_) {
        nodeLookupUs_.reset();
        say_("no hidraw node came for the device within " +
             std::to_string(NODE_LOOKUP_LIMIT_US / 1'000'000) +
             " s: the kernel needs hidraw (CONFIG_HIDRAW) and a driver for the device "
             "(the hid-generic module)");
        return;
    }
    nodeLookupUs_ = nowUs + NODE_LOOKUP_INTERVAL_US;
}

void UhidUnit::RunTimers(std::uint64_t nowUs) {
    while (created_ && !replies_.empty() && replies_.front().dueUs <= nowUs) {
        const QueuedReply& reply = replies_.front();
        uhid_event event{};
        event.type = UHID_INPUT2;
        const std::size_t size = std::min<std::size_t>(reply.bytes.size(), UHID_DATA_MAX);
        event.u.input2.size = static_cast<std::uint16_t>(size);
        std::memcpy(event.u.input2.data, reply.bytes.data(), size);
        WriteEvent(&event, "a reply (UHID_INPUT2)");
        replies_.pop_front();
    }
    if (replugAtUs_ && nowUs >= *replugAtUs_) {
        replugAtUs_.reset();
        Plug();
    }
    if (nodeLookupUs_ && nowUs >= *nodeLookupUs_) {
        LookForNode(nowUs);
    }
}

std::optional<std::uint64_t> UhidUnit::NextTimerUs() const {
    std::optional<std::uint64_t> next;
    const auto consider = [&next](std::uint64_t at) {
        if (!next || at < *next) {
            next = at;
        }
    };
    if (created_ && !replies_.empty()) {
        consider(replies_.front().dueUs);
    }
    if (replugAtUs_) {
        consider(*replugAtUs_);
    }
    if (nodeLookupUs_) {
        consider(*nodeLookupUs_);
    }
    return next;
}

std::string UhidUnit::StatusLine() const {
    std::string line = "status: ";
    if (!created_) {
        line += "unplugged";
    } else if (node_.empty()) {
        line += "plugging";
    } else {
        line += "plugged node=" + node_ + " open=" + (opened_ ? "yes" : "no");
    }
    if (replugAtUs_) {
        const std::uint64_t now = MonotonicMicroseconds();
        line += " replug-in-ms=" +
                std::to_string(*replugAtUs_ > now ? (*replugAtUs_ - now + 999) / 1000 : 0);
    }
    line += " exchanges=" + std::to_string(model_->ExchangeCount());
    line += " blocks=" + std::to_string(model_->blockLengths.size());
    line += " written=" + std::to_string(model_->writtenEnd);
    line += std::string(" lock=") + (model_->systemLock ? "on" : "off");
    line += std::string(" protection=") + (model_->esc.writeProtected ? "on" : "off");
    line += " esc-version=" + Hex(model_->esc.firmwareVersion, 4);
    line += std::string(" fault=") + (model_->faults.empty() ? "none" : "armed");
    line += " malformed=" + std::to_string(model_->MalformedTransfers());
    std::size_t received = 0;
    for (const auto& entry : model_->Log()) {
        received += entry.fromHost ? 1 : 0;
    }
    line += " received=" + std::to_string(received);
    line += " log=" + std::to_string(model_->Log().size());
    return line;
}
