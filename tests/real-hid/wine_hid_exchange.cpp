// orvanto-wine-hid: the programming unit through a real Windows HID stack,
// seen from a Windows program: the updater's own discovery, identification
// and exchanges (link/ over platform/win32: SetupAPI, HID.DLL, overlapped
// ReadFile and WriteFile). Written for Wine over winebus and hidraw, with the
// emulated unit as a kernel HID device (tests/real-hid/guest-wine.sh). It
// uses nothing of Wine's own, but its checks state what Wine 8.0's stack
// does; Windows' may differ where the updater does not depend on it (the
// count WriteFile gives back, a write longer than the report).
//
// usage:
//   orvanto-wine-hid exchange [--count N] [--pause-ms MS] [--keep-going]
//                             [--read-delay-ms MAX]
//       Finds and identifies the unit as the updater does, then times N
//       CMD_GET_UNIT_STATUS exchanges (default 300), each a 60-byte report
//       out and its reply in, and checks every reply. Prints
//       "wine-hid exchange: median X ms, p95 Y ms (N exchanges)". With
//       --pause-ms the updater's own wait of MS milliseconds follows each
//       exchange, as after each data block of an update, and the figures
//       are those of the whole cycle, exchange and wait. When a reply does
//       not come in time, an immediate second read tells whether it had in
//       fact come and waited in the handle's queue while the read stayed
//       pending (a wake-up the HID stack lost); --keep-going counts such
//       failures and goes on instead of stopping at the first. With
//       --read-delay-ms each exchange waits 0 to MAX ms (varying) between its
//       write and its read, so that replies come at every moment around the
//       start of the read.
//   orvanto-wine-hid transfers
//       What the HID stack does with the updater's reports and with
//       malformed ones: the report lengths, the report ID byte in reads and
//       writes, buffers too short or too long, replies nobody has read yet,
//       a second handle to the same unit.
//   orvanto-wine-hid unplug [--busy-ms MS]
//       The unit pulled out while a read waits for its reply, and plugged in
//       again: how the read and later transfers end, and which
//       WM_DEVICECHANGE messages a window registered for HID interfaces gets,
//       in which order. The program prints "ready: pull the unit out" when
//       its read is pending and "ready: plug the unit in" once it has seen
//       the removal; whoever runs it pulls and plugs the unit then. With
//       --busy-ms the window's thread pumps no messages for MS milliseconds
//       from before the pull, as the updater's thread during an update; the
//       removal is then only reported, not required.
//
// Prints a line per check, "PASS: ..." or "FAIL: ...", and what it saw on
// lines of its own; exits 0 when every check passed, 1 otherwise, 2 for bad
// usage.
#include <windows.h>

#include <dbt.h>

#include "platform/win32/system_libraries.h"
#include "tests/narrow.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "tests/real-hid/say.h"

namespace {

int failures = 0;

void Check(bool passed, const std::string& what, const std::string& seen = "") {
    if (passed) {
        Say("PASS: %s%s%s", what.c_str(), seen.empty() ? "" : ": ", seen.c_str());
    } else {
        ++failures;
        Say("FAIL: %s%s%s", what.c_str(), seen.empty() ? "" : ": saw ", seen.c_str());
    }
}

std::string Hex(std::uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// A last-error value with its Windows name where it is one of those the HID
// stack gives.
std::string ErrorText(DWORD error) {
    const char* name = nullptr;
    switch (error) {
    case ERROR_SUCCESS: name = "ERROR_SUCCESS"; break;
    case ERROR_INVALID_FUNCTION: name = "ERROR_INVALID_FUNCTION"; break;
    case ERROR_FILE_NOT_FOUND: name = "ERROR_FILE_NOT_FOUND"; break;
    case ERROR_ACCESS_DENIED: name = "ERROR_ACCESS_DENIED"; break;
    case ERROR_INVALID_HANDLE: name = "ERROR_INVALID_HANDLE"; break;
    case ERROR_NOT_READY: name = "ERROR_NOT_READY"; break;
    case ERROR_GEN_FAILURE: name = "ERROR_GEN_FAILURE"; break;
    case ERROR_NOT_SUPPORTED: name = "ERROR_NOT_SUPPORTED"; break;
    case ERROR_INVALID_PARAMETER: name = "ERROR_INVALID_PARAMETER"; break;
    case ERROR_MORE_DATA: name = "ERROR_MORE_DATA"; break;
    case ERROR_OPERATION_ABORTED: name = "ERROR_OPERATION_ABORTED"; break;
    case ERROR_IO_PENDING: name = "ERROR_IO_PENDING"; break;
    case ERROR_DEVICE_NOT_CONNECTED: name = "ERROR_DEVICE_NOT_CONNECTED"; break;
    case ERROR_TIMEOUT: name = "ERROR_TIMEOUT"; break;
    case ERROR_INVALID_USER_BUFFER: name = "ERROR_INVALID_USER_BUFFER"; break;
    case ERROR_DEVICE_REMOVED: name = "ERROR_DEVICE_REMOVED"; break;
    default: break;
    }
    return std::to_string(error) + (name ? std::string(" (") + name + ")" : std::string());
}

double Milliseconds(std::uint64_t fromUs, std::uint64_t toUs) {
    return static_cast<double>(toUs - fromUs) / 1000.0;
}

HANDLE UnitHandle() { return reinterpret_cast<HANDLE>(unitConnection.handle); }

// One overlapped ReadFile or WriteFile on `handle`, waited for at most
// `limitMs`; an expired transfer is cancelled and waited for.
struct Transfer {
    bool started = false;   // the call returned TRUE or went pending
    bool pending = false;   // it went pending
    bool done = false;      // it completed successfully
    bool expired = false;   // the limit ran out
    DWORD error = 0;        // the failing call's last error
    DWORD bytes = 0;        // bytes transferred
};

Transfer Move(HANDLE handle, bool write, void* buffer, DWORD length, DWORD limitMs) {
    Transfer transfer;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    const BOOL result = write ? WriteFile(handle, buffer, length, nullptr, &overlapped)
                              : ReadFile(handle, buffer, length, nullptr, &overlapped);
    const DWORD callError = GetLastError();
    if (!result && callError != ERROR_IO_PENDING) {
        transfer.error = callError;
        CloseHandle(overlapped.hEvent);
        return transfer;
    }
    transfer.started = true;
    transfer.pending = !result;
    if (transfer.pending && WaitForSingleObject(overlapped.hEvent, limitMs) != WAIT_OBJECT_0) {
        transfer.expired = true;
        CancelIoEx(handle, &overlapped);
    }
    transfer.done = GetOverlappedResult(handle, &overlapped, &transfer.bytes, TRUE) != FALSE;
    if (!transfer.done) {
        transfer.error = GetLastError();
    }
    CloseHandle(overlapped.hEvent);
    return transfer;
}

std::string Describe(const Transfer& transfer) {
    if (transfer.done) {
        return std::string(transfer.pending ? "completed after going pending" : "completed at once") +
               ", " + std::to_string(transfer.bytes) + " bytes";
    }
    if (transfer.expired) {
        return "still pending at its limit, cancelled";
    }
    return std::string(transfer.started ? "went pending, then failed" : "failed at once") +
           " with error " + ErrorText(transfer.error);
}

std::vector<std::uint8_t> CommandBytes(std::uint8_t command, std::size_t size = REPORT_SIZE) {
    std::vector<std::uint8_t> report(std::max<std::size_t>(size, 4), 0);
    report[0] = COMMAND_REPORT_ID;
    report[1] = command;
    report.resize(size);
    return report;
}

// The updater's discovery and identification; false (and a FAIL line) when
// they did not succeed.
bool OpenUnit() {
    unitConnection = InitialConnection();
    SetLastError(0);
    const std::int32_t status = DiscoverUnit();
    const DWORD lastError = GetLastError();
    if (status != LINK_OK) {
        Check(false, "the updater's discovery finds and identifies the unit",
              "status " + std::to_string(status) + ", last error " + ErrorText(lastError));
        return false;
    }
    Say("unit: %s, product %u, %s, unit firmware %s, ESC state %u, ESC firmware %s, "
        "ESC type %s, ESC bootloader %s",
        Narrow(unitConnection.devicePath).c_str(), unitConnection.productId,
        unitConnection.unitInBootloader ? "bootloader" : "normal firmware",
        Hex(unitConnection.unitFirmwareVersion).c_str(), unitConnection.escState,
        Hex(EscFirmwareVersion(unitConnection), 4).c_str(),
        Hex(EscTypeCode(unitConnection)).c_str(), Hex(EscBootloaderVersion(unitConnection)).c_str());
    return true;
}

// One CMD_GET_UNIT_STATUS through the link; checks the reply against what
// identification read. `readExpired` tells whether the read for the reply
// ran out of time.
bool StatusExchange(std::string& problem, bool* readExpired = nullptr,
                    std::uint32_t delayBeforeReadMs = 0) {
    const CommandReport command = MakeCommandReport(CMD_GET_UNIT_STATUS, 0x00);
    ReplyReport reply{};
    SetLastError(0);
    const std::int32_t result = ExchangeReports(command, 3, reply, 16, delayBeforeReadMs);
    const DWORD lastError = GetLastError();
    if (readExpired != nullptr) {
        *readExpired = result == LINK_READ_FAILED && lastError == ERROR_TIMEOUT;
    }
    if (result != LINK_OK) {
        problem = "link result " + std::to_string(result) + ", last error " + ErrorText(lastError);
        return false;
    }
    if (reply.reportId != REPLY_REPORT_ID || reply.status == REPLY_STATUS_FAILED ||
        reply.state != unitConnection.unitInBootloader ||
        ReadLe32(&reply.data[4]) != unitConnection.unitFirmwareVersion) {
        problem = "reply ID " + Hex(reply.reportId, 2) + ", status " + Hex(reply.status, 2) +
                  ", state " + std::to_string(reply.state) + ", firmware " +
                  Hex(ReadLe32(&reply.data[4]));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// exchange

// After a read that ran out of time: whether the reply is waiting in the
// handle's queue all the same.
bool ReplyWasWaiting() {
    std::array<std::uint8_t, 60> late{};
    SetLastError(0);
    return HidReadReport(unitConnection.handle, late.data(), 60, 1000) &&
           late[0] == REPLY_REPORT_ID && ReadLe32(&late[8]) == unitConnection.unitFirmwareVersion;
}

int RunExchange(std::uint32_t count, std::uint32_t pauseMs, bool keepGoing,
                std::uint32_t readDelayMaxMs) {
    if (!OpenUnit()) {
        return 1;
    }
    Say("reports: input %u bytes, output %u bytes (HidP_GetCaps, report ID included)",
        unitConnection.inputReportLength, unitConnection.outputReportLength);
    std::vector<double> times;
    times.reserve(count);
    std::uint32_t lostWakeUps = 0;
    std::uint32_t otherFailures = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string problem;
        bool readExpired = false;
        const std::uint64_t start = MonotonicMicroseconds();
        const std::uint32_t readDelayMs = readDelayMaxMs == 0 ? 0 : i % (readDelayMaxMs + 1);
        const bool sound = StatusExchange(problem, &readExpired, readDelayMs);
        if (pauseMs != 0) {
            WaitMilliseconds(pauseMs);
        }
        const std::uint64_t end = MonotonicMicroseconds();
        if (!sound) {
            const bool waiting = readExpired && ReplyWasWaiting();
            lostWakeUps += waiting;
            otherFailures += !waiting;
            Check(false, "exchange " + std::to_string(i + 1) + " of " + std::to_string(count),
                  problem + (waiting ? "; the reply had come: it waited in the handle's queue "
                                       "while the read stayed pending to its limit"
                                     : ""));
            if (!keepGoing) {
                ResetConnection();
                return 1;
            }
            continue;
        }
        times.push_back(Milliseconds(start, end));
    }
    ResetConnection();
    if (keepGoing) {
        Say("failed exchanges: %u whose reply waited in the queue while the read expired, "
            "%u other, of %u",
            lostWakeUps, otherFailures, count);
    }
    if (times.empty()) {
        return 1;
    }
    std::sort(times.begin(), times.end());
    // Nearest rank.
    const auto rank = [&](double share) {
        const std::size_t index = static_cast<std::size_t>(share * times.size() + 0.999999);
        return times[std::min(times.size(), std::max<std::size_t>(index, 1)) - 1];
    };
    if (failures == 0) {
        Check(true, std::to_string(count) + " CMD_GET_UNIT_STATUS exchanges, every reply sound");
    }
    if (pauseMs == 0) {
        Say("wine-hid exchange: median %.2f ms, p95 %.2f ms (%u exchanges; min %.2f, max %.2f)",
            rank(0.5), rank(0.95), static_cast<unsigned>(times.size()), times.front(),
            times.back());
    } else {
        Say("wine-hid exchange and %u ms wait: median %.2f ms, p95 %.2f ms (%u cycles; min %.2f, "
            "max %.2f)",
            pauseMs, rank(0.5), rank(0.95), static_cast<unsigned>(times.size()), times.front(),
            times.back());
    }
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// transfers

// Reads one input report into a buffer of 64 bytes; the bytes read.
std::vector<std::uint8_t> ReadReply(DWORD limitMs, Transfer& transfer) {
    std::vector<std::uint8_t> buffer(64, 0xEE);
    transfer = Move(UnitHandle(), false, buffer.data(), static_cast<DWORD>(buffer.size()), limitMs);
    buffer.resize(transfer.done ? transfer.bytes : 0);
    return buffer;
}

int RunTransfers() {
    if (!OpenUnit()) {
        return 1;
    }
    const HANDLE unit = UnitHandle();
    constexpr DWORD LIMIT_MS = 5000;

    // The capabilities, as HID.DLL parses the unit's report descriptor.
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps{};
    if (system32::HidD_GetPreparsedData(unit, &preparsed)) {
        system32::HidP_GetCaps(preparsed, &caps);
        system32::HidD_FreePreparsedData(preparsed);
    }
    Say("caps: usage page %s, usage %u, input %u, output %u, feature %u bytes",
        Hex(caps.UsagePage, 4).c_str(), caps.Usage, caps.InputReportByteLength,
        caps.OutputReportByteLength, caps.FeatureReportByteLength);
    Check(caps.InputReportByteLength == 60 && caps.OutputReportByteLength == 60 &&
              unitConnection.inputReportLength == 60 && unitConnection.outputReportLength == 60,
          "HidP_GetCaps gives 60-byte input and output reports, report ID byte included",
          "input " + std::to_string(caps.InputReportByteLength) + ", output " +
              std::to_string(caps.OutputReportByteLength));

    // The updater's report: 60 bytes, report ID 1 first.
    std::vector<std::uint8_t> command = CommandBytes(CMD_GET_UNIT_STATUS);
    Transfer write = Move(unit, true, command.data(), 60, LIMIT_MS);
    Check(write.done, "a 60-byte command report with report ID 1 is written", Describe(write));
    // The count WriteFile gives back is not the report's length everywhere
    // (Wine 8.0's hidclass takes one byte off for a report with an ID); the
    // updater does not look at it.
    Say("WriteFile's count of bytes written for the 60-byte report: %lu", write.bytes);
    Transfer read;
    std::vector<std::uint8_t> reply = ReadReply(LIMIT_MS, read);
    Check(read.done && reply.size() == 60 && reply[0] == REPLY_REPORT_ID,
          "its reply reads as 60 bytes with report ID 2 first, though the buffer holds 64",
          Describe(read) + (reply.empty() ? "" : ", first byte " + Hex(reply[0], 2)));

    // A buffer one byte short of the input report.
    std::vector<std::uint8_t> shortBuffer(59, 0xEE);
    Transfer shortRead = Move(unit, false, shortBuffer.data(), 59, LIMIT_MS);
    Check(!shortRead.done && !shortRead.started && shortRead.error == ERROR_INVALID_USER_BUFFER,
          "a read into 59 bytes fails at once with ERROR_INVALID_USER_BUFFER", Describe(shortRead));

    // Output reports the unit does not have, or of the wrong length.
    command = CommandBytes(CMD_GET_UNIT_STATUS, 59);
    Transfer shortWrite = Move(unit, true, command.data(), 59, LIMIT_MS);
    Check(!shortWrite.done && shortWrite.error == ERROR_INVALID_PARAMETER,
          "a 59-byte write fails with ERROR_INVALID_PARAMETER", Describe(shortWrite));
    for (std::uint8_t id : {std::uint8_t{0}, REPLY_REPORT_ID}) {
        command = CommandBytes(CMD_GET_UNIT_STATUS);
        command[0] = id;
        Transfer wrongId = Move(unit, true, command.data(), 60, LIMIT_MS);
        Check(!wrongId.done && wrongId.error == ERROR_INVALID_PARAMETER,
              "a write with report ID " + std::to_string(id) +
                  " (no output report of the unit) fails with ERROR_INVALID_PARAMETER",
              Describe(wrongId));
    }

    // A longer buffer: the stack sends the 60-byte report and drops the rest.
    command = CommandBytes(CMD_GET_UNIT_STATUS, 64);
    command[60] = command[61] = command[62] = command[63] = 0x5A;
    Transfer longWrite = Move(unit, true, command.data(), 64, LIMIT_MS);
    reply = ReadReply(LIMIT_MS, read);
    Check(longWrite.done && read.done && reply.size() == 60 && reply[0] == REPLY_REPORT_ID,
          "a 64-byte write is taken, and the unit answers it as its 60-byte report",
          "write " + Describe(longWrite) + "; read " + Describe(read));

    // Replies nobody has read yet wait, in order, for the next reads.
    command = CommandBytes(CMD_GET_UNIT_STATUS);
    Transfer first = Move(unit, true, command.data(), 60, LIMIT_MS);
    command = CommandBytes(CMD_GET_ESC_IDENTITY);
    Transfer second = Move(unit, true, command.data(), 60, LIMIT_MS);
    Transfer firstRead;
    const std::vector<std::uint8_t> firstReply = ReadReply(LIMIT_MS, firstRead);
    Transfer secondRead;
    const std::vector<std::uint8_t> secondReply = ReadReply(LIMIT_MS, secondRead);
    const bool statusFirst = firstReply.size() == 60 &&
                             ReadLe16(&firstReply[4]) == unitConnection.escState &&
                             ReadLe32(&firstReply[8]) == unitConnection.unitFirmwareVersion;
    const bool identitySecond = secondReply.size() == 60 &&
                                ReadLe32(&secondReply[4]) == EscTypeCode(unitConnection);
    Check(first.done && second.done && statusFirst && identitySecond,
          "two commands written before any read: the two replies wait and come in order",
          "first read " + Describe(firstRead) + (statusFirst ? " (the status)" : "") +
              "; second read " + Describe(secondRead) + (identitySecond ? " (the identity)" : ""));
    std::array<std::uint8_t, 60> buffer{};
    SetLastError(0);
    const bool more = HidReadReport(unitConnection.handle, buffer.data(), 60, 500);
    Check(!more && PlatformLastError() == ERROR_TIMEOUT,
          "then nothing more is waiting: a read expires with ERROR_TIMEOUT",
          more ? "a report" : ErrorText(PlatformLastError()));

    // A second handle gets its own copy of every input report.
    const HidHandle other = HidOpenInterface(unitConnection.devicePath);
    if (other == INVALID_HID_HANDLE) {
        Check(false, "the unit opens a second time", ErrorText(GetLastError()));
    } else {
        std::string problem;
        const bool exchanged = StatusExchange(problem);
        std::array<std::uint8_t, 60> copy{};
        SetLastError(0);
        const bool copied = HidReadReport(other, copy.data(), 60, LIMIT_MS);
        Check(exchanged && copied && copy[0] == REPLY_REPORT_ID &&
                  ReadLe32(&copy[8]) == unitConnection.unitFirmwareVersion,
              "a second handle to the unit gets its own copy of the reply to the first's command",
              exchanged ? (copied ? "a copy" : "no copy, error " + ErrorText(PlatformLastError()))
                        : problem);
        HidCloseInterface(other);
    }

    // How many input reports the stack keeps per handle.
    if (HMODULE hid = LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        using GetBuffers = BOOLEAN(WINAPI*)(HANDLE, PULONG);
        const auto getBuffers =
            reinterpret_cast<GetBuffers>(reinterpret_cast<void*>(GetProcAddress(hid, "HidD_GetNumInputBuffers")));
        ULONG buffers = 0;
        if (getBuffers != nullptr && getBuffers(unit, &buffers)) {
            Say("input reports kept per handle (HidD_GetNumInputBuffers): %lu", buffers);
        }
        FreeLibrary(hid);
    }

    ResetConnection();
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// unplug

constexpr UINT WM_APP_BUSY = WM_APP + 1;

struct Notice {
    std::uint64_t atUs;
    WPARAM event;
    DWORD deviceType;  // 0 when the message carried no broadcast
    std::wstring name;
};

struct Listener {
    std::mutex lock;
    std::vector<Notice> notices;
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE busyStarted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HWND window = nullptr;
    bool registered = false;
};

Listener listener;

std::string EventName(WPARAM event) {
    switch (event) {
    case DBT_DEVICEARRIVAL: return "DBT_DEVICEARRIVAL";
    case DBT_DEVICEREMOVECOMPLETE: return "DBT_DEVICEREMOVECOMPLETE";
    case DBT_DEVNODES_CHANGED: return "DBT_DEVNODES_CHANGED";
    case DBT_DEVICEQUERYREMOVE: return "DBT_DEVICEQUERYREMOVE";
    case DBT_DEVICEREMOVEPENDING: return "DBT_DEVICEREMOVEPENDING";
    default: return Hex(static_cast<std::uint32_t>(event), 4);
    }
}

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        Notice notice{MonotonicMicroseconds(), wParam, 0, {}};
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
            header != nullptr && header->dbch_size >= sizeof(DEV_BROADCAST_HDR)) {
            notice.deviceType = header->dbch_devicetype;
            constexpr DWORD nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
            if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
                header->dbch_size > nameOffset) {
                const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
                notice.name.assign(device->dbcc_name,
                                   wcsnlen(device->dbcc_name,
                                           (header->dbch_size - nameOffset) / sizeof(wchar_t)));
            }
        }
        {
            std::lock_guard<std::mutex> guard(listener.lock);
            listener.notices.push_back(notice);
        }
        SetEvent(listener.changed);
        return TRUE;
    }
    if (message == WM_APP_BUSY) {
        SetEvent(listener.busyStarted);
        Sleep(static_cast<DWORD>(lParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden top-level window registered for HID interface notifications as
// the updater's dialog is, pumping messages on its own thread.
void RunListener() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ListenerProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvantoWineHidListener";
    RegisterClassExW(&windowClass);
    listener.window = CreateWindowExW(0, windowClass.lpszClassName, L"orvanto-wine-hid",
                                      WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    listener.registered = listener.window != nullptr &&
                          system32::HidD_GetHidGuid(&filter.dbcc_classguid) &&
                          RegisterDeviceNotificationW(listener.window, &filter,
                                                      DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
    SetEvent(listener.ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()),
                                                        b.c_str(), static_cast<int>(b.size()),
                                                        TRUE) == CSTR_EQUAL;
}

bool IsUnitInterface(const std::wstring& name) {
    std::wstring upper = name;
    for (wchar_t& c : upper) {
        c = static_cast<wchar_t>(towupper(c));
    }
    return upper.find(L"VID_3F19") != std::wstring::npos;
}

// Waits at most `limitMs` for a notice that `wanted` accepts; its index, or -1.
template <typename Wanted>
int AwaitNotice(DWORD limitMs, Wanted wanted) {
    const std::uint64_t end = MonotonicMicroseconds() + std::uint64_t{limitMs} * 1000;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(listener.lock);
            for (std::size_t i = 0; i < listener.notices.size(); ++i) {
                if (wanted(listener.notices[i])) {
                    return static_cast<int>(i);
                }
            }
        }
        const std::uint64_t now = MonotonicMicroseconds();
        if (now >= end) {
            return -1;
        }
        WaitForSingleObject(listener.changed, static_cast<DWORD>((end - now) / 1000 + 1));
    }
}

int RunUnplug(DWORD busyMs) {
    std::thread window(RunListener);
    WaitForSingleObject(listener.ready, INFINITE);
    const auto finish = [&](int code) {
        PostMessageW(listener.window, WM_QUIT, 0, 0);
        window.join();
        return code;
    };
    Check(listener.registered, "a hidden top-level window registers for HID interface notifications");
    if (!listener.registered || !OpenUnit()) {
        return finish(1);
    }
    const std::wstring path = unitConnection.devicePath;
    std::string problem;
    Check(StatusExchange(problem), "an exchange before the pull", problem);

    if (busyMs != 0) {
        PostMessageW(listener.window, WM_APP_BUSY, 0, static_cast<LPARAM>(busyMs));
        WaitForSingleObject(listener.busyStarted, INFINITE);
        Say("the window's thread pumps no messages for the next %lu ms", busyMs);
    }

    // A read for a reply that never comes, pending when the unit goes.
    std::vector<std::uint8_t> buffer(60, 0xEE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL immediate = ReadFile(UnitHandle(), buffer.data(), 60, nullptr, &overlapped);
    const DWORD readCallError = GetLastError();
    Check(!immediate && readCallError == ERROR_IO_PENDING, "a read waits for a reply",
          immediate ? "it completed" : ErrorText(readCallError));
    if (immediate || readCallError != ERROR_IO_PENDING) {
        CloseHandle(overlapped.hEvent);
        return finish(1);
    }
    const std::uint64_t pulledUs = MonotonicMicroseconds();
    Say("ready: pull the unit out");

    DWORD transferred = 0;
    const bool readEnded = WaitForSingleObject(overlapped.hEvent, 60000) == WAIT_OBJECT_0;
    if (!readEnded) {
        CancelIoEx(UnitHandle(), &overlapped);
    }
    const std::uint64_t readEndUs = MonotonicMicroseconds();
    const bool readDone = GetOverlappedResult(UnitHandle(), &overlapped, &transferred, TRUE) != FALSE;
    const DWORD readError = readDone ? 0 : GetLastError();
    CloseHandle(overlapped.hEvent);
    Check(readEnded && !readDone && readError != ERROR_TIMEOUT,
          "the pending read fails when the unit is pulled out, before its own time limit",
          !readEnded ? "still pending 60 s later"
                     : readDone ? "it completed with " + std::to_string(transferred) + " bytes"
                                : "error " + ErrorText(readError) + " after " +
                                      std::to_string(static_cast<long>(Milliseconds(pulledUs, readEndUs))) +
                                      " ms");
    Say("after the pull: pending read %s at %.0f ms", readDone ? "completed" : ("failed with error " + ErrorText(readError)).c_str(),
        Milliseconds(pulledUs, readEndUs));

    // Transfers on the same handle once the unit is gone.
    std::vector<std::uint8_t> command = CommandBytes(CMD_GET_UNIT_STATUS);
    const Transfer write = Move(UnitHandle(), true, command.data(), 60, 2000);
    const std::uint64_t writeUs = MonotonicMicroseconds();
    const Transfer read = Move(UnitHandle(), false, buffer.data(), 60, 2000);
    const std::uint64_t secondReadUs = MonotonicMicroseconds();
    Say("after the pull: write %s at %.0f ms", Describe(write).c_str(), Milliseconds(pulledUs, writeUs));
    Say("after the pull: read %s at %.0f ms", Describe(read).c_str(), Milliseconds(pulledUs, secondReadUs));
    Check(!write.done && !read.done, "writes and reads on the handle fail once the unit is gone");

    // The removal, named with the path discovery opened.
    const DWORD removalLimit = busyMs + 30000;
    const int removal = AwaitNotice(removalLimit, [&](const Notice& notice) {
        return notice.event == DBT_DEVICEREMOVECOMPLETE && SameName(notice.name, path);
    });
    if (busyMs == 0) {
        Check(removal >= 0,
              "the window gets DBT_DEVICEREMOVECOMPLETE naming the opened interface "
              "(equal but for letter case)");
    } else {
        Say("busy window: %s", removal >= 0
                                   ? "the removal reached the window once it pumped again"
                                   : "the removal never reached the window");
    }

    SetLastError(0);
    ResetConnection();
    Say("ready: plug the unit in");
    const std::uint64_t plugUs = MonotonicMicroseconds();
    const int arrival = AwaitNotice(60000, [&](const Notice& notice) {
        return notice.event == DBT_DEVICEARRIVAL && notice.atUs > plugUs &&
               IsUnitInterface(notice.name);
    });
    Check(arrival >= 0, "the window gets DBT_DEVICEARRIVAL for the unit plugged in again");
    if (arrival >= 0 && OpenUnit()) {
        problem.clear();
        Check(StatusExchange(problem), "the unit found again answers", problem);
        ResetConnection();
    }

    // Give late copies a moment to come, then the whole sequence.
    AwaitNotice(1500, [](const Notice&) { return false; });
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> guard(listener.lock);
        notices = listener.notices;
    }
    Say("opened interface: %s", Narrow(path).c_str());
    Say("pending read ended at %.0f ms", Milliseconds(pulledUs, readEndUs));
    for (const Notice& notice : notices) {
        Say("WM_DEVICECHANGE at %.0f ms (%s): %s%s%s", Milliseconds(pulledUs, notice.atUs),
            notice.atUs >= plugUs ? "after the plug request" : "after the pull request",
            EventName(notice.event).c_str(), notice.name.empty() ? "" : " ",
            Narrow(notice.name).c_str());
    }
    int removals = 0;
    int arrivals = 0;
    for (const Notice& notice : notices) {
        removals += notice.event == DBT_DEVICEREMOVECOMPLETE && SameName(notice.name, path);
        arrivals += notice.event == DBT_DEVICEARRIVAL && IsUnitInterface(notice.name);
    }
    Say("messages naming the unit: %d removal(s) of the opened interface, %d arrival(s)", removals,
        arrivals);
    if (removal >= 0) {
        Say("order: the pending read failed %s the removal message",
            readEndUs <= notices[static_cast<std::size_t>(removal)].atUs ? "before" : "after");
    }
    return finish(failures == 0 ? 0 : 1);
}

[[noreturn]] void Usage(const char* problem) {
    std::fprintf(stderr,
                 "orvanto-wine-hid: %s\n"
                 "usage: orvanto-wine-hid exchange [--count N] [--pause-ms MS] [--keep-going]\n"
                 "                                 [--read-delay-ms MAX]\n"
                 "       orvanto-wine-hid transfers\n"
                 "       orvanto-wine-hid unplug [--busy-ms MS]\n",
                 problem);
    std::exit(2);
}

std::uint32_t NumberArgument(int argc, char** argv, int& i, std::uint32_t limit) {
    if (i + 1 >= argc) {
        Usage("a number is missing");
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(argv[++i], &end, 10);
    if (*end != '\0' || value == 0 || value > limit) {
        Usage("bad number");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage("no command");
    }
    const std::string command = argv[1];
    std::uint32_t count = 300;
    std::uint32_t busyMs = 0;
    std::uint32_t pauseMs = 0;
    bool keepGoing = false;
    std::uint32_t readDelayMaxMs = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--count" && command == "exchange") {
            count = NumberArgument(argc, argv, i, 1000000);
        } else if (option == "--read-delay-ms" && command == "exchange") {
            readDelayMaxMs = NumberArgument(argc, argv, i, 1000);
        } else if (option == "--keep-going" && command == "exchange") {
            keepGoing = true;
        } else if (option == "--pause-ms" && command == "exchange") {
            pauseMs = NumberArgument(argc, argv, i, 60000);
        } else if (option == "--busy-ms" && command == "unplug") {
            busyMs = NumberArgument(argc, argv, i, 600000);
        } else {
            Usage("unknown option");
        }
    }
    RestrictDllSearchToSystem32();
    if (command == "exchange") {
        return RunExchange(count, pauseMs, keepGoing, readDelayMaxMs);
    }
    if (command == "transfers") {
        return RunTransfers();
    }
    if (command == "unplug") {
        return RunUnplug(busyMs);
    }
    Usage("unknown command");
}
