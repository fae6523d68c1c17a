// An emulated device: its log, its faults, and the host's writes and reads
// as the HID class driver would hand them over.
#include "emulator/emulated_device.h"

#include <algorithm>
#include <cstring>

#include "link/report.h"
#include "platform/clock.h"
#include "platform/errors.h"

EmulatedDevice::EmulatedDevice(std::wstring devicePath, std::uint16_t vendor,
                               std::uint16_t product)
    : path(std::move(devicePath)), vendorId(vendor), productId(product) {}

EmulatedDevice::~EmulatedDevice() = default;

std::vector<std::vector<std::uint8_t>> EmulatedDevice::Commands() const {
    std::vector<std::vector<std::uint8_t>> commands;
    for (const LoggedReport& entry : log_) {
        if (entry.fromHost) {
            commands.push_back(entry.bytes);
        }
    }
    return commands;
}

std::uint64_t EmulatedDevice::HostWaitBetween(std::size_t from, std::size_t to) const {
    const std::uint64_t start = log_.at(from).completedAtUs;
    const std::uint64_t end = log_.at(to).requestedAtUs;
    return end > start ? end - start : 0;
}

std::optional<std::uint64_t> EmulatedDevice::LeastHostWaitAfter(std::uint8_t command,
                                                                std::size_t from) const {
    std::optional<std::uint64_t> least;
    std::uint8_t lastCommand = 0;
    std::optional<std::uint64_t> replyAt;  // the reply to a `command` report
    for (std::size_t i = from; i < log_.size(); ++i) {
        const LoggedReport& entry = log_[i];
        if (entry.fromHost) {
            if (replyAt) {
                const std::uint64_t wait =
                    entry.requestedAtUs > *replyAt ? entry.requestedAtUs - *replyAt : 0;
                least = least ? std::min(*least, wait) : wait;
            }
            lastCommand = entry.bytes.size() > 1 ? entry.bytes[1] : 0;
            replyAt.reset();
        } else if (lastCommand == command && !replyAt) {
            replyAt = entry.completedAtUs;
        }
    }
    return least;
}

std::optional<Fault> EmulatedDevice::TakeFault(const std::vector<std::uint8_t>& report) {
    const std::uint8_t command = report.size() > 1 ? report[1] : 0;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const bool byExchange = it->exchange != 0 && it->exchange == exchanges_;
        const bool byCommand = it->exchange == 0 && it->command == command &&
                               it->occurrence == commandCounts_[command];
        if (byExchange || byCommand) {
            Fault fault = *it;
            faults.erase(it);
            return fault;
        }
    }
    return std::nullopt;
}

bool EmulatedDevice::HostWrite(const std::uint8_t* report, std::uint32_t length,
                               std::uint32_t timeoutMs, std::uint32_t& lastError) {
    const std::uint64_t requestedAt = MonotonicMicroseconds();
    if (!plugged) {
        lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    // The HID class driver takes exactly one output report of the announced
    // length, starting with a report ID the device has.
    if (length != outputReportLength || length == 0 || report[0] != COMMAND_REPORT_ID) {
        ++malformedTransfers_;
        lastError = PLATFORM_ERROR_INVALID_PARAMETER;
        return false;
    }
    const std::uint8_t command = length > 1 ? report[1] : 0;
    ++exchanges_;
    ++commandCounts_[command];

    std::vector<std::uint8_t> bytes(report, report + length);
    const std::optional<Fault> fault = TakeFault(bytes);
    if (fault) {
        switch (fault->kind) {
        case FaultKind::WriteFails:
            lastError = fault->lastError;
            return false;
        case FaultKind::WriteHangs:
            DeviceWaitUntil(requestedAt + std::uint64_t{timeoutMs} * 1000);
            lastError = PLATFORM_ERROR_TIMEOUT;
            return false;
        case FaultKind::Unplug:
            emulated_bus::Unplug(this);
            lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
            return false;
        default:
            break;
        }
    }

    log_.push_back({true, requestedAt, MonotonicMicroseconds(), bytes});
    std::optional<Answer> answer = Respond(bytes);

    if (fault) {
        switch (fault->kind) {
        case FaultKind::ReadFails:
            // The reply is lost on the way; the read fails.
            replies_.push_back({{}, MonotonicMicroseconds(), fault->lastError});
            return true;
        case FaultKind::NoReply:
            return true;
        case FaultKind::UnplugBeforeReply:
            emulated_bus::Unplug(this);
            return true;
        case FaultKind::UnitError:
            if (answer) {
                answer->bytes.resize(std::max<std::size_t>(answer->bytes.size(), 8));
                answer->bytes[1] = REPLY_STATUS_FAILED;
                WriteLe32(&answer->bytes[4], fault->errorCode);
            }
            break;
        case FaultKind::WrongState:
            if (answer) {
                answer->bytes.resize(std::max<std::size_t>(answer->bytes.size(), 4));
                answer->bytes[3] = static_cast<std::uint8_t>(answer->bytes[3] == 0 ? 1 : 0);
            }
            break;
        default:
            break;
        }
    }
    if (answer) {
        answer->bytes.resize(inputReportLength, 0);
        replies_.push_back({std::move(answer->bytes),
                            MonotonicMicroseconds() + std::uint64_t{answer->delayMs} * 1000, 0});
    }
    if (onReport) {
        onReport(bytes);
    }
    return true;
}

void EmulatedDevice::HostOpened(HidHandle handle) {
    // A new handle's queue starts empty: reports that came before it was
    // opened went to the handles open then.
    DeliverReadyReplies();
    handleQueues_[handle].clear();
}

void EmulatedDevice::HostClosed(HidHandle handle) { handleQueues_.erase(handle); }

void EmulatedDevice::DeliverReadyReplies() {
    const std::uint64_t now = MonotonicMicroseconds();
    // The device sends one report at a time: a reply never overtakes an
    // earlier one.
    while (!replies_.empty() && replies_.front().readyAtUs <= now) {
        for (auto& [handle, queue] : handleQueues_) {
            queue.push_back(replies_.front());
            if (queue.size() > MAX_QUEUED_INPUT_REPORTS) {
                queue.pop_front();
            }
        }
        replies_.pop_front();
    }
}

bool EmulatedDevice::HostRead(HidHandle handle, std::uint8_t* buffer, std::uint32_t length,
                              std::uint32_t timeoutMs, std::uint32_t& lastError) {
    const std::uint64_t requestedAt = MonotonicMicroseconds();
    if (!plugged) {
        lastError = PLATFORM_ERROR_DEVICE_NOT_CONNECTED;
        return false;
    }
    if (length < inputReportLength) {
        ++malformedTransfers_;
        lastError = PLATFORM_ERROR_INVALID_USER_BUFFER;
        return false;
    }
    auto queue = handleQueues_.find(handle);
    if (queue == handleQueues_.end()) {
        lastError = PLATFORM_ERROR_INVALID_HANDLE;
        return false;
    }
    DeliverReadyReplies();
    // A report already queued for this handle is taken at once; otherwise
    // the read waits for the device's next report, or gives up at its limit
    // and leaves a later report queued for the next read.
    if (queue->second.empty()) {
        const std::uint64_t deadline = requestedAt + std::uint64_t{timeoutMs} * 1000;
        if (replies_.empty() || replies_.front().readyAtUs > deadline) {
            DeviceWaitUntil(deadline);
            DeliverReadyReplies();
            lastError = PLATFORM_ERROR_TIMEOUT;
            return false;
        }
        DeviceWaitUntil(replies_.front().readyAtUs);
        DeliverReadyReplies();
    }
    PendingReply reply = std::move(queue->second.front());
    queue->second.pop_front();
    if (reply.failWith != 0) {
        lastError = reply.failWith;
        return false;
    }
    std::memcpy(buffer, reply.bytes.data(), inputReportLength);
    log_.push_back({false, requestedAt, MonotonicMicroseconds(), reply.bytes});
    return true;
}

void EmulatedDevice::Unplugged() {
    plugged = false;
    replies_.clear();
    for (auto& [handle, queue] : handleQueues_) {
        queue.clear();
    }
}

std::optional<EmulatedDevice::PendingReply> EmulatedDevice::TakeReply() {
    if (replies_.empty()) {
        return std::nullopt;
    }
    PendingReply reply = std::move(replies_.front());
    replies_.pop_front();
    if (reply.failWith == 0) {
        log_.push_back({false, reply.readyAtUs, reply.readyAtUs, reply.bytes});
    }
    return reply;
}
