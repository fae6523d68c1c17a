// orvanto-uhid-unit: the emulated programming unit as a kernel HID device.
//
// Makes the unit a USB HID device (vendor 0x3F19, product 2 LINK-BOX or 1
// ORBICON) through /dev/uhid, answered by the emulated unit of the tests and
// the demos, with real time. Any HID host on the machine finds it as it
// would a real unit: its hidraw node, a browser's WebHID, Wine's HID bus.
//
// Control: one command a line, on standard input and on a FIFO given with
// --control (made when missing):
//   plug                 plug the unit in (a new kernel device)
//   unplug [MS]          pull it out; with MS, plug it in again MS ms later
//   status               print one status line
//   fault KIND:STEP           arm a fault for the next update (see --fault)
//   flash PATH           write the ESC's flash (128 KiB) to PATH now
//   block-waits FROM     print the least time the host waited from a data
//                        block's reply to its next report, in microseconds,
//                        over the log from entry FROM on (status gives log=)
//   quit                 end, as SIGTERM and SIGINT do
// What happens is printed on standard output, one line each.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "emulator/uhid/uhid_unit.h"
#include "platform/clock.h"

namespace {

const char* const USAGE =
    "usage: orvanto-uhid-unit [options]\n"
    "\n"
    "Makes the emulated LINK-BOX or ORBICON a kernel HID device through /dev/uhid.\n"
    "\n"
    "The unit:\n"
    "  --unit linkbox|orbicon     the kind of unit (linkbox: product 2, orbicon: 1);\n"
    "                             default linkbox\n"
    "  --bootloader               the unit runs its own bootloader, not its firmware\n"
    "  --no-esc                   no ESC hangs on the unit\n"
    "  --esc-type CODE            the ESC's type code (default 0x111F405A)\n"
    "  --esc-version VERSION      the ESC's firmware version word, 0xFFFF for none\n"
    "                             (default 0x0205, version 2.5)\n"
    "  --input-length N           the input report length, report ID included,\n"
    "  --output-length N          and the output report length: 2 to 60 (default 60)\n"
    "\n"
    "Faults:\n"
    "  --fault KIND:STEP[:N][:CODE]\n"
    "                             a fault for the first update: KIND unit-error,\n"
    "                             no-reply, unplug (the report never reaches the\n"
    "                             unit), unplug-before-reply (carried out, then\n"
    "                             pulled out); STEP lock, protection-off, purge,\n"
    "                             address or block:N (the N-th data block); CODE the\n"
    "                             unit's error code for unit-error (default 0xABCD).\n"
    "                             e.g. unit-error:purge:0x1234, no-reply:block:2,\n"
    "                             unplug:block:500\n"
    "  --replug-after MS          after a fault pulled the unit out, plug it in again\n"
    "                             MS milliseconds later\n"
    "\n"
    "Running:\n"
    "  --control PATH             a FIFO for commands (made when missing): plug,\n"
    "                             unplug [MS], status, fault KIND:STEP, flash PATH,\n"
    "                             block-waits FROM, quit; standard\n"
    "                             input takes the same commands\n"
    "  --ready-file PATH          written with the hidraw node's path each time the\n"
    "                             unit is plugged in and its node is there\n"
    "  --flash-out PATH           at the end, the ESC's flash (128 KiB) goes there\n"
    "  --start-unplugged          do not plug the unit in at the start\n"
    "  --uhid PATH                the uhid device (default /dev/uhid)\n"
    "\n"
    "Ends on quit, SIGTERM or SIGINT: pulls the unit out and writes --flash-out.\n";

struct Options {
    DemoUnitSettings settings;
    std::optional<UhidFault> fault;
    std::optional<std::uint32_t> replugAfterMs;
    std::string control;
    std::string readyFile;
    std::string flashOut;
    std::string uhidPath = "/dev/uhid";
    bool startUnplugged = false;
    std::optional<std::uint16_t> vendorId;
};

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "orvanto-uhid-unit: %s\n(--help shows the options)\n", message.c_str());
    std::exit(2);
}

std::uint32_t NumberOption(const std::string& name, const char* text, std::uint32_t max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (text[0] == '\0' || text[0] == '-' || *end != '\0' || errno != 0 || value > max) {
        UsageError(name + " takes a number up to " + std::to_string(max) + ", not \"" + text +
                   "\"");
    }
    return static_cast<std::uint32_t>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                UsageError(name + " needs a value");
            }
            return argv[++i];
        };
        if (name == "--help" || name == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (name == "--unit") {
            const std::string kind = value();
            if (kind == "linkbox") {
                options.settings.productId = 2;
            } else if (kind == "orbicon") {
                options.settings.productId = 1;
            } else {
                UsageError("--unit is linkbox or orbicon, not \"" + kind + "\"");
            }
        } else if (name == "--bootloader") {
            options.settings.inBootloader = true;
        } else if (name == "--no-esc") {
            options.settings.escAttached = false;
        } else if (name == "--esc-type") {
            options.settings.escTypeCode = NumberOption(name, value(), 0xFFFFFFFF);
        } else if (name == "--esc-version") {
            options.settings.escFirmwareVersion =
                static_cast<std::uint16_t>(NumberOption(name, value(), 0xFFFF));
        } else if (name == "--input-length" || name == "--output-length") {
            const auto length = static_cast<std::uint16_t>(NumberOption(name, value(), 60));
            if (length < 2) {
                UsageError(name + " is 2 to 60: a report carries its ID and at least one byte");
            }
            (name == "--input-length" ? options.settings.inputReportLength
                                      : options.settings.outputReportLength) = length;
        } else if (name == "--fault") {
            UhidFault fault;
            std::string error;
            if (!ParseUhidFault(value(), fault, error)) {
                UsageError("--fault: " + error);
            }
            options.fault = fault;
        } else if (name == "--replug-after") {
            options.replugAfterMs = NumberOption(name, value(), 3'600'000);
        } else if (name == "--control") {
            options.control = value();
        } else if (name == "--ready-file") {
            options.readyFile = value();
        } else if (name == "--flash-out") {
            options.flashOut = value();
        } else if (name == "--start-unplugged") {
            options.startUnplugged = true;
        } else if (name == "--uhid") {
            options.uhidPath = value();
        } else if (name == "--vendor-id") {
            // Not in the usage text: a device with another vendor ID is no
            // programming unit. The tests use one to show what a udev rule
            // or a browser's permission leaves alone.
            options.vendorId = static_cast<std::uint16_t>(NumberOption(name, value(), 0xFFFF));
        } else {
            UsageError("unknown option \"" + name + "\"");
        }
    }
    return options;
}

// Opens the uhid device, or ends the program saying how to get it.
int OpenUhid(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            std::fprintf(stderr,
                         "orvanto-uhid-unit: %s does not exist: the kernel's uhid module is not "
                         "loaded.\n"
                         "Load it with `sudo modprobe uhid` (a kernel built with CONFIG_UHID).\n",
                         path.c_str());
        } else {
            std::fprintf(stderr, "orvanto-uhid-unit: %s: %s\n", path.c_str(), std::strerror(errno));
        }
        std::exit(3);
    }
    if (!S_ISCHR(info.st_mode)) {
        std::fprintf(stderr, "orvanto-uhid-unit: %s is not the uhid character device (10,239)\n",
                     path.c_str());
        std::exit(3);
    }
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::fprintf(stderr, "orvanto-uhid-unit: cannot open %s for reading and writing: %s.\n",
                     path.c_str(), std::strerror(error));
        if (error == EACCES || error == EPERM) {
            std::fprintf(stderr,
                         "Run it as root (sudo), or give your user access to %s with a udev "
                         "rule, e.g.\n"
                         "  KERNEL==\"uhid\", GROUP=\"<your group>\", MODE=\"0660\"\n"
                         "in /etc/udev/rules.d/, then `sudo udevadm control --reload-rules && "
                         "sudo udevadm trigger`.\n",
                         path.c_str());
        }
        std::exit(3);
    }
    return fd;
}

// Writes `bytes` to `path` through a temporary file, so that a reader sees
// the whole file or none.
bool WriteFileWhole(const std::string& path, const void* bytes, std::size_t size) {
    const std::string temporary = path + ".part";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        Say("cannot write " + temporary + ": " + std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        Say("cannot write " + path + ": " + std::strerror(errno));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// Command lines from one source (standard input or the FIFO).
struct CommandSource {
    int fd = -1;
    std::string pending;
    bool open = false;
};

// Reads what `source` has; returns its complete lines.
std::vector<std::string> ReadLines(CommandSource& source) {
    std::vector<std::string> lines;
    char buffer[512];
    const ssize_t got = read(source.fd, buffer, sizeof buffer);
    if (got == 0) {
        source.open = false;  // standard input ended; the unit goes on
    } else if (got > 0) {
        source.pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = source.pending.find('\n')) != std::string::npos) {
            lines.push_back(source.pending.substr(0, end));
            source.pending.erase(0, end + 1);
        }
    }
    return lines;
}

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Carries out one control command; returns false for quit.
bool RunCommand(UhidUnit& unit, const std::string& line) {
    const std::string command = Trim(line);
    const std::size_t space = command.find(' ');
    const std::string word = command.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : Trim(command.substr(space));
    if (word.empty()) {
        return true;
    }
    if (word == "quit") {
        return false;
    }
    if (word == "plug" && argument.empty()) {
        if (unit.Created()) {
            Say("already plugged in");
        } else {
            unit.Plug();
        }
    } else if (word == "unplug") {
        std::optional<std::uint32_t> replugAfter;
        if (!argument.empty()) {
            char* end = nullptr;
            errno = 0;
            const unsigned long value = std::strtoul(argument.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || value > 3'600'000) {
                Say("unplug takes milliseconds to plug in again after, not \"" + argument + "\"");
                return true;
            }
            replugAfter = static_cast<std::uint32_t>(value);
        }
        unit.Unplug(replugAfter);
    } else if (word == "status" && argument.empty()) {
        Say(unit.StatusLine());
    } else if (word == "flash" && !argument.empty()) {
        const std::vector<std::uint8_t>& flash = unit.Model().esc.flash;
        Say(WriteFileWhole(argument, flash.data(), flash.size())
                ? "flash written: " + argument + " (" + std::to_string(flash.size()) + " bytes)"
                : "flash: cannot write " + argument);
    } else if (word == "block-waits") {
        char* end = nullptr;
        const unsigned long from = std::strtoul(argument.c_str(), &end, 10);
        if (argument.empty() || *end != '\0') {
            Say("block-waits takes the log entry to start from, not \"" + argument + "\"");
            return true;
        }
        const auto least = unit.Model().LeastHostWaitAfter(CMD_WRITE_DATA, from);
        Say("block-waits: least-us=" + (least ? std::to_string(*least) : std::string("none")));
    } else if (word == "fault") {
        UhidFault fault;
        std::string error;
        if (!ParseUhidFault(argument, fault, error)) {
            Say("fault: " + error);
        } else if (!unit.ArmFault(fault)) {
            Say("fault: the unit is pulled out; plug it in first");
        } else {
            Say(fault.kind == DemoFaultKind::None ? "fault: none armed"
                                                  : "fault: armed for the next update");
        }
    } else {
        Say("unknown command \"" + command +
            "\" (plug, unplug [MS], status, fault KIND:STEP, flash PATH, block-waits FROM, quit)");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const int uhid = OpenUhid(options.uhidPath);

    // The signals that end the unit arrive as reads, between two events.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &endSignals, nullptr);
    const int signals = signalfd(-1, &endSignals, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    CommandSource input;
    input.fd = STDIN_FILENO;
    input.open = true;
    CommandSource fifo;
    bool madeFifo = false;
    if (!options.control.empty()) {
        struct stat info {};
        if (stat(options.control.c_str(), &info) != 0) {
            if (mkfifo(options.control.c_str(), 0600) != 0) {
                std::fprintf(stderr, "orvanto-uhid-unit: cannot make the FIFO %s: %s\n",
                             options.control.c_str(), std::strerror(errno));
                return 2;
            }
            madeFifo = true;
        } else if (!S_ISFIFO(info.st_mode)) {
            std::fprintf(stderr, "orvanto-uhid-unit: %s is there and is not a FIFO\n",
                         options.control.c_str());
            return 2;
        }
        // Open for writing too, so that the FIFO never reads as ended when a
        // writer closes it.
        fifo.fd = open(options.control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo.fd < 0) {
            std::fprintf(stderr, "orvanto-uhid-unit: cannot open %s: %s\n",
                         options.control.c_str(), std::strerror(errno));
            return 2;
        }
        fifo.open = true;
    }

    UhidUnit unit(uhid, options.settings, "orvanto-uhid-unit-" + std::to_string(getpid()),
                  "/sys/class/hidraw", "/dev", Say);
    if (!options.readyFile.empty()) {
        unit.onNode = [&options](const std::string& node) {
            const std::string line = node + "\n";
            WriteFileWhole(options.readyFile, line.data(), line.size());
        };
    }
    unit.SetReplugAfterFault(options.replugAfterMs);
    if (options.vendorId) {
        unit.SetVendorId(*options.vendorId);
    }
    if (options.fault && !unit.ArmFault(*options.fault)) {
        Say("the fault could not be armed");
        return 1;
    }
    if (!options.startUnplugged) {
        if (!unit.Plug()) {
            return 1;
        }
    } else {
        unit.Unplug();
    }

    int status = 0;
    bool running = true;
    while (running) {
        pollfd fds[4] = {};
        fds[0] = {uhid, POLLIN, 0};
        fds[1] = {signals, POLLIN, 0};
        fds[2] = {input.open ? input.fd : -1, POLLIN, 0};
        fds[3] = {fifo.open ? fifo.fd : -1, POLLIN, 0};
        timespec timeout{};
        timespec* wait = nullptr;
        if (const std::optional<std::uint64_t> next = unit.NextTimerUs()) {
            const std::uint64_t now = MonotonicMicroseconds();
            const std::uint64_t us = *next > now ? *next - now : 0;
            timeout.tv_sec = static_cast<time_t>(us / 1'000'000);
            timeout.tv_nsec = static_cast<long>(us % 1'000'000) * 1000;
            wait = &timeout;
        }
        if (ppoll(fds, 4, wait, nullptr) < 0 && errno != EINTR) {
            Say(std::string("waiting failed: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof info) == sizeof info) {
                Say(std::string("ending on ") + strsignal(static_cast<int>(info.ssi_signo)));
            }
            running = false;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            Say("the uhid device failed");
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) {
            if (!unit.HandleKernelEvent()) {
                status = 1;
                break;
            }
        }
        for (CommandSource* source : {&input, &fifo}) {
            const short events = source == &input ? fds[2].revents : fds[3].revents;
            if (source->open && (events & (POLLIN | POLLHUP))) {
                for (const std::string& line : ReadLines(*source)) {
                    if (running && !RunCommand(unit, line)) {
                        Say("ending on quit");
                        running = false;
                    }
                }
            }
        }
        unit.RunTimers(MonotonicMicroseconds());
    }

    unit.Unplug();
    if (!options.flashOut.empty()) {
        const std::vector<std::uint8_t>& flash = unit.Model().esc.flash;
        if (WriteFileWhole(options.flashOut, flash.data(), flash.size())) {
            Say("flash written: " + options.flashOut + " (" + std::to_string(flash.size()) +
                " bytes)");
        } else {
            status = 1;
        }
    }
    if (madeFifo) {
        unlink(options.control.c_str());
    }
    close(uhid);
    Say(unit.StatusLine());
    return status;
}
