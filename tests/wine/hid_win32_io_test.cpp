// The Windows HID backend's transfers, run under Wine against a stand-in
// device that the test serves itself over a named pipe: CreateFileW opens a
// pipe path as it opens a HID interface path, and the pipe's server end plays
// the unit.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "link/commands.h"
#include "link/report.h"
#include "link/unit_connection.h"
#include "platform/clock.h"
#include "platform/hid.h"

namespace {

constexpr DWORD SHORT_LIMIT_MS = 300;

std::uint64_t ElapsedMs(std::uint64_t startUs) { return (MonotonicMicroseconds() - startUs) / 1000; }

// The server end of a message-mode pipe, and the backend's handle to it.
class PipeDevice {
public:
    explicit PipeDevice(DWORD bufferSize = 4096) {
        static int serial = 0;
        name_ = L"\\\\.\\pipe\\orvanto-hid-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++serial);
        server_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                   bufferSize, bufferSize, 0, nullptr);
        client = HidOpenInterface(name_);
    }
    ~PipeDevice() {
        HidCloseInterface(client);
        if (server_ != INVALID_HANDLE_VALUE) {
            CloseHandle(server_);
        }
    }
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    bool Ready() const { return server_ != INVALID_HANDLE_VALUE && client != INVALID_HID_HANDLE; }

    // One message from the host, or an empty vector after `limitMs`.
    std::vector<std::uint8_t> Receive(DWORD limitMs = 2000) {
        std::vector<std::uint8_t> buffer(256);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD count = 0;
        BOOL done = ReadFile(server_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                             &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING &&
            WaitForSingleObject(overlapped.hEvent, limitMs) != WAIT_OBJECT_0) {
            CancelIoEx(server_, &overlapped);
        }
        done = GetOverlappedResult(server_, &overlapped, &count, TRUE);
        CloseHandle(overlapped.hEvent);
        buffer.resize(done ? count : 0);
        return buffer;
    }

    void Send(const std::vector<std::uint8_t>& message) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD count = 0;
        WriteFile(server_, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
        GetOverlappedResult(server_, &overlapped, &count, TRUE);
        CloseHandle(overlapped.hEvent);
    }

    void Disconnect() {
        CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
    }

    HidHandle client = INVALID_HID_HANDLE;

private:
    std::wstring name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
};

std::vector<std::uint8_t> Report(std::uint8_t id, std::uint8_t second) {
    std::vector<std::uint8_t> report(60, 0);
    report[0] = id;
    report[1] = second;
    for (std::size_t i = 4; i < report.size(); ++i) {
        report[i] = static_cast<std::uint8_t>(i);
    }
    return report;
}

// Replaces the address of `function` (imported from `dll`) in this program's
// import table, through which the HID backend linked into it calls the
// system; returns the address it held, or null when it imports no such
// function.
void* ReplaceImport(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; module->Name != 0; ++module) {
        if (_stricmp(reinterpret_cast<const char*>(base + module->Name), dll) != 0) {
            continue;
        }
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE,
                           &protection);
            void* previous = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection,
                           &protection);
            return previous;
        }
    }
    return nullptr;
}

// A unit behind a HID stack that behaves as Wine's hidclass (8.0) may, in
// its worst case, with the pipe's client end as the handle: the backend's
// ReadFile and CancelIoEx on that handle pass through the hooks below, which
// decide when each of the unit's reports reaches the pipe.
//   - ARRIVES_AS_THE_READ_IS_QUEUED: the report comes in just as a read is
//     issued and waits in the handle's queue, held back from that read for
//     as long as it waits; only a read issued afresh takes it.
//   - ARRIVES_AS_THE_READ_IS_CANCELLED: the report completes the waiting
//     read at the moment it is being cancelled, before the cancellation.
//   - GONE_AS_THE_READ_IS_CANCELLED: the unit is pulled out at that moment:
//     the waiting read fails on its own, before the cancellation.
enum Arrival {
    ARRIVES_AS_THE_READ_IS_QUEUED,
    ARRIVES_AS_THE_READ_IS_CANCELLED,
    GONE_AS_THE_READ_IS_CANCELLED,
};

struct HeldBackUnit {
    PipeDevice* device = nullptr;
    std::vector<std::vector<std::uint8_t>> reports;  // in the order they come
    std::vector<Arrival> arrivals;                    // how each one comes
    std::size_t next = 0;                             // the next one to come
    std::deque<std::vector<std::uint8_t>> queued;     // come, held back
    int takenByFreshReads = 0;
    int completedAtCancel = 0;
    int failedAtCancel = 0;
};

HeldBackUnit* heldBackUnit = nullptr;

using ReadFileFunction = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using CancelIoExFunction = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
ReadFileFunction systemReadFile = nullptr;
CancelIoExFunction systemCancelIoEx = nullptr;

bool HeldBackUnitOwns(HANDLE file) {
    return heldBackUnit != nullptr &&
           file == reinterpret_cast<HANDLE>(heldBackUnit->device->client);
}

BOOL WINAPI ReadFileOfHeldBackUnit(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read,
                                   LPOVERLAPPED overlapped) {
    if (HeldBackUnitOwns(file)) {
        HeldBackUnit& unit = *heldBackUnit;
        if (!unit.queued.empty()) {
            unit.device->Send(unit.queued.front());
            unit.queued.pop_front();
            ++unit.takenByFreshReads;
        } else if (unit.next < unit.reports.size() &&
                   unit.arrivals[unit.next] == ARRIVES_AS_THE_READ_IS_QUEUED) {
            unit.queued.push_back(unit.reports[unit.next++]);
        }
    }
    return systemReadFile(file, buffer, length, read, overlapped);
}

BOOL WINAPI CancelIoExOfHeldBackUnit(HANDLE file, LPOVERLAPPED overlapped) {
    if (HeldBackUnitOwns(file) && heldBackUnit->queued.empty() &&
        heldBackUnit->next < heldBackUnit->arrivals.size()) {
        HeldBackUnit& unit = *heldBackUnit;
        const Arrival arrival = unit.arrivals[unit.next];
        if (arrival == ARRIVES_AS_THE_READ_IS_CANCELLED) {
            unit.device->Send(unit.reports[unit.next++]);
            ++unit.completedAtCancel;
        } else if (arrival == GONE_AS_THE_READ_IS_CANCELLED) {
            ++unit.next;
            unit.device->Disconnect();
            ++unit.failedAtCancel;
        }
        if (arrival != ARRIVES_AS_THE_READ_IS_QUEUED) {
            // The read ends before the cancellation reaches it.
            WaitForSingleObject(overlapped->hEvent, 5000);
        }
    }
    return systemCancelIoEx(file, overlapped);
}

// Puts the held-back unit between the backend and `device` for the
// lifetime of the object.
class HeldBackUnitHooks {
public:
    HeldBackUnitHooks(HeldBackUnit& unit, PipeDevice& device) {
        unit.device = &device;
        heldBackUnit = &unit;
        systemReadFile = reinterpret_cast<ReadFileFunction>(ReplaceImport(
            "kernel32.dll", "ReadFile", reinterpret_cast<void*>(&ReadFileOfHeldBackUnit)));
        systemCancelIoEx = reinterpret_cast<CancelIoExFunction>(ReplaceImport(
            "kernel32.dll", "CancelIoEx", reinterpret_cast<void*>(&CancelIoExOfHeldBackUnit)));
    }
    ~HeldBackUnitHooks() {
        if (systemReadFile != nullptr) {
            ReplaceImport("kernel32.dll", "ReadFile", reinterpret_cast<void*>(systemReadFile));
        }
        if (systemCancelIoEx != nullptr) {
            ReplaceImport("kernel32.dll", "CancelIoEx", reinterpret_cast<void*>(systemCancelIoEx));
        }
        heldBackUnit = nullptr;
    }
    HeldBackUnitHooks(const HeldBackUnitHooks&) = delete;
    HeldBackUnitHooks& operator=(const HeldBackUnitHooks&) = delete;

    bool Installed() const { return systemReadFile != nullptr && systemCancelIoEx != nullptr; }
};

// One command out, one reply in, each byte for byte.
TEST(HidWin32Io, NormalExchange) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    const auto command = Report(0x01, 0x0B);
    ASSERT_TRUE(HidWriteReport(device.client, command.data(), 60, SHORT_LIMIT_MS));
    EXPECT_EQ(device.Receive(), command);

    const auto reply = Report(0x02, 0x00);
    device.Send(reply);
    std::array<std::uint8_t, 60> buffer{};
    ASSERT_TRUE(HidReadReport(device.client, buffer.data(), 60, SHORT_LIMIT_MS));
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
}

// A reply that never comes fails after the limit with ERROR_TIMEOUT, which the
// cancellation does not overwrite. The cancelled read has let go of the
// buffer when the call returns: a reply that arrives later neither lands in
// it nor is lost, the next read gets it.
TEST(HidWin32Io, UnansweredReadExpiresAndReleasesTheBuffer) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    std::array<std::uint8_t, 60> buffer;
    buffer.fill(0xAA);
    const std::uint64_t start = MonotonicMicroseconds();
    SetLastError(0);
    EXPECT_FALSE(HidReadReport(device.client, buffer.data(), 60, SHORT_LIMIT_MS));
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), SHORT_LIMIT_MS - 1);

    const auto late = Report(0x02, 0x7E);
    device.Send(late);
    Sleep(100);
    for (std::uint8_t byte : buffer) {
        ASSERT_EQ(byte, 0xAA) << "the expired read wrote into the buffer";
    }
    std::array<std::uint8_t, 60> next{};
    ASSERT_TRUE(HidReadReport(device.client, next.data(), 60, SHORT_LIMIT_MS));
    EXPECT_TRUE(std::equal(late.begin(), late.end(), next.begin()));
}

// A read that waits long is cancelled and issued afresh every 200 ms: a
// stack may leave a read waiting while a report sits in the handle's queue
// (Wine's hidclass checks its queue, then queues the read, with no lock
// between the two). Here every other report comes just as the read is
// queued and is held back from it; the others come as the waiting read is
// being cancelled, and complete it. Each report is read once, whole and in
// order, and the caller's last-error value stays.
TEST(HidWin32Io, ReadIssuedAfreshLosesAndRepeatsNoReport) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    constexpr int REPORTS = 12;
    HeldBackUnit unit;
    for (int i = 0; i < REPORTS; ++i) {
        unit.reports.push_back(Report(0x02, static_cast<std::uint8_t>(i)));
        unit.arrivals.push_back(i % 2 == 0 ? ARRIVES_AS_THE_READ_IS_QUEUED
                                           : ARRIVES_AS_THE_READ_IS_CANCELLED);
    }
    HeldBackUnitHooks hooks(unit, device);
    ASSERT_TRUE(hooks.Installed());
    for (int i = 0; i < REPORTS; ++i) {
        std::array<std::uint8_t, 60> buffer{};
        SetLastError(4242);
        ASSERT_TRUE(HidReadReport(device.client, buffer.data(), 60, 2000)) << "report " << i;
        EXPECT_EQ(PlatformLastError(), 4242u);
        const auto sent = Report(0x02, static_cast<std::uint8_t>(i));
        ASSERT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()))
            << "report " << i << " came as report " << int(buffer[1]);
    }
    EXPECT_EQ(unit.takenByFreshReads, REPORTS / 2);
    EXPECT_EQ(unit.completedAtCancel, REPORTS / 2);
    std::array<std::uint8_t, 60> extra{};
    EXPECT_FALSE(HidReadReport(device.client, extra.data(), 60, SHORT_LIMIT_MS))
        << "a report was read twice";
    EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
}

// The unit is pulled out just as the read's last slice expires: the read
// fails on its own while it is being cancelled, and keeps its own error (the
// pipe's, where a HID stack gives ERROR_DEVICE_NOT_CONNECTED or the like),
// not the expiry's ERROR_TIMEOUT.
TEST(HidWin32Io, ReadThatFailsAsItsLastSliceIsCancelledKeepsItsOwnError) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    HeldBackUnit unit;
    unit.reports.push_back({});
    unit.arrivals.push_back(GONE_AS_THE_READ_IS_CANCELLED);
    HeldBackUnitHooks hooks(unit, device);
    ASSERT_TRUE(hooks.Installed());
    std::array<std::uint8_t, 60> buffer{};
    SetLastError(0);
    EXPECT_FALSE(HidReadReport(device.client, buffer.data(), 60, 100));
    const std::uint32_t error = PlatformLastError();
    EXPECT_EQ(unit.failedAtCancel, 1);
    EXPECT_TRUE(error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
                error == ERROR_NO_DATA)
        << error;
}

// A write that the other end never takes (its pipe is full and nobody reads)
// is cancelled after the limit and fails with ERROR_TIMEOUT.
TEST(HidWin32Io, WriteThatNeverCompletesExpires) {
    PipeDevice device(64);
    ASSERT_TRUE(device.Ready());
    const auto command = Report(0x01, 0x1B);
    bool failed = false;
    for (int i = 0; i < 2000 && !failed; ++i) {
        const std::uint64_t start = MonotonicMicroseconds();
        if (!HidWriteReport(device.client, command.data(), 60, SHORT_LIMIT_MS)) {
            failed = true;
            EXPECT_EQ(PlatformLastError(), PLATFORM_ERROR_TIMEOUT);
            EXPECT_GE(ElapsedMs(start), SHORT_LIMIT_MS - 1);
        }
    }
    EXPECT_TRUE(failed) << "the pipe never filled up";
}

// A device that is gone: the write fails at once with the failing call's own
// last-error value, not one of the clean-up's.
TEST(HidWin32Io, FailedWriteKeepsItsOwnLastError) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    device.Disconnect();
    const auto command = Report(0x01, 0x08);
    SetLastError(0);
    EXPECT_FALSE(HidWriteReport(device.client, command.data(), 60, SHORT_LIMIT_MS));
    const std::uint32_t error = PlatformLastError();
    EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
                error == ERROR_PIPE_NOT_CONNECTED)
        << error;
    std::array<std::uint8_t, 60> buffer{};
    EXPECT_FALSE(HidReadReport(device.client, buffer.data(), 60, SHORT_LIMIT_MS));
    EXPECT_NE(PlatformLastError(), 0u);
    EXPECT_NE(PlatformLastError(), PLATFORM_ERROR_OPERATION_ABORTED);
}

// A transfer that goes pending and then succeeds leaves the caller's
// last-error value as it was, not ERROR_IO_PENDING (997): a failure that the
// unit itself reports afterwards (status 0xFF) would otherwise show 997 in
// its code line, a value that has nothing to do with it.
TEST(HidWin32Io, PendingTransferThatSucceedsKeepsTheCallersLastError) {
    PipeDevice device;
    ASSERT_TRUE(device.Ready());
    std::thread unit([&] {
        Sleep(100);  // the host's read is pending by now
        device.Send(Report(0x02, 0x00));
    });
    std::array<std::uint8_t, 60> buffer{};
    SetLastError(4242);
    const bool read = HidReadReport(device.client, buffer.data(), 60, 2000);
    const std::uint32_t afterRead = PlatformLastError();
    unit.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(afterRead, 4242u);

    // The same through the link: the unit refuses the unlock with its own
    // code after a pending read; the last error is still the caller's.
    unitConnection = InitialConnection();
    unitConnection.handle = device.client;
    unitConnection.inputReportLength = 60;
    unitConnection.outputReportLength = 60;
    std::thread refusing([&] {
        device.Receive();
        Sleep(100);
        auto reply = Report(0x02, REPLY_STATUS_FAILED);
        WriteLe32(&reply[4], 0x0105);
        device.Send(reply);
    });
    SetLastError(0);
    const std::int32_t status = SetWriteProtection(false);
    const std::uint32_t lastError = PlatformLastError();
    refusing.join();
    unitConnection.handle = INVALID_HID_HANDLE;
    EXPECT_EQ(status, 0x0105);
    EXPECT_EQ(lastError, 0u) << "the code line would end in " << lastError;
}

// Waits last at least as long as asked and leave the last-error value alone.
TEST(Win32Clock, WaitLastsAtLeastItsTimeAndKeepsTheLastError) {
    for (std::uint32_t ms : {1u, 20u, 45u}) {
        SetLastError(1234);
        const std::uint64_t start = MonotonicMicroseconds();
        WaitMilliseconds(ms);
        EXPECT_GE(MonotonicMicroseconds() - start, std::uint64_t{ms} * 1000);
        EXPECT_EQ(GetLastError(), 1234u);
    }
}

// The real enumeration: Wine lists HID devices of its own (a mouse and a
// keyboard), none of which is a programming unit.
TEST(HidWin32Enumeration, DiscoveryPassesOverOtherDevices) {
    HidInterfaceList* list = HidOpenInterfaceList();
    ASSERT_NE(list, nullptr);
    std::uint32_t index = 0;
    std::wstring path;
    while (HidGetInterfacePath(list, index, path) != HID_INTERFACE_END && index < 1000) {
        ++index;
    }
    HidCloseInterfaceList(list);
    EXPECT_LT(index, 1000u);

    unitConnection = InitialConnection();
    EXPECT_EQ(DiscoverUnit(), LINK_NOT_FOUND);
    EXPECT_EQ(unitConnection.handle, INVALID_HID_HANDLE);
}

}  // namespace
