// hidraw-exchange: exchanges command reports with a programming unit through
// its Linux hidraw node and times each exchange.
//
// Opens the node (given, or the first hidraw node of vendor 0x3F19), reads
// its report descriptor and works out the report lengths as a Windows host
// does (per report ID the bits of its fields, rounded up to bytes, plus the
// ID byte; the longest report), checks them, then writes COUNT command
// reports (report ID 1) and reads one reply after each. Every reply must
// come in time, carry the reply report ID 2 and the full input length, and,
// for the same command, be the same bytes as the first reply. Prints the
// decoded first reply and the median and 95th percentile of the exchange
// time: the floor under the updater's own exchanges on this machine.
//
// usage: hidraw-exchange [--count N] [--command NAME] [--timeout-ms MS] [NODE]
//   NAME: status (CMD_GET_UNIT_STATUS, the default), memory (CMD_READ_MEMORY),
//         esc-info (CMD_READ_ESC_FIRMWARE_INFO), esc-identity (CMD_GET_ESC_IDENTITY),
//         lock (CMD_SYSTEM_LOCK, set: the unit's lock only, nothing of the ESC)
// Exit status 0 when every exchange was sound, 1 otherwise, 2 for bad usage.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "link/report.h"

namespace {

struct Options {
    std::string node;
    std::uint32_t count = 300;
    std::string command = "status";
    int timeoutMs = 2000;
};

[[noreturn]] void Usage(const std::string& message) {
    std::fprintf(stderr,
                 "hidraw-exchange: %s\n"
                 "usage: hidraw-exchange [--count N] [--command status|memory|esc-info|"
                 "esc-identity|lock] [--timeout-ms MS] [/dev/hidrawN]\n",
                 message.c_str());
    std::exit(2);
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "hidraw-exchange: FAILED: %s\n", message.c_str());
    std::exit(1);
}

std::uint64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The first hidraw node whose HID device has the unit's vendor ID.
std::string FindUnitNode() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/sys/class/hidraw")) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "hidraw", 6) == 0) {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "HID_ID=%04X:%08X:", 3, UNIT_VENDOR_ID);
    for (const std::string& name : names) {
        std::ifstream uevent("/sys/class/hidraw/" + name + "/device/uevent");
        std::string line;
        while (std::getline(uevent, line)) {
            if (line.rfind(wanted, 0) == 0) {
                return "/dev/" + name;
            }
        }
    }
    return {};
}

struct ReportLengths {
    // Per report ID, the bits of its fields.
    std::map<int, std::uint32_t> inputBits;
    std::map<int, std::uint32_t> outputBits;
    bool numbered = false;
};

// Reads the main items of a report descriptor: for each Input and Output
// item, report size x report count bits, under the report ID in force.
// Long items are skipped; Push and Pop keep the global state.
ReportLengths ParseDescriptor(const std::uint8_t* bytes, std::size_t size) {
    struct Globals {
        std::uint32_t reportSize = 0;
        std::uint32_t reportCount = 0;
        int reportId = 0;
    };
    ReportLengths lengths;
    Globals globals;
    std::vector<Globals> stack;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t prefix = bytes[at];
        if (prefix == 0xFE) {  // long item
            if (at + 2 >= size) {
                break;
            }
            at += 3 + bytes[at + 1];
            continue;
        }
        const std::size_t dataSize = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (at + 1 + dataSize > size) {
            break;
        }
        std::uint32_t data = 0;
        for (std::size_t i = 0; i < dataSize; ++i) {
            data |= static_cast<std::uint32_t>(bytes[at + 1 + i]) << (8 * i);
        }
        switch (prefix & 0xFC) {
        case 0x74:
            globals.reportSize = data;
            break;
        case 0x94:
            globals.reportCount = data;
            break;
        case 0x84:
            globals.reportId = static_cast<int>(data);
            lengths.numbered = true;
            break;
        case 0xA4:
            stack.push_back(globals);
            break;
        case 0xB4:
            if (!stack.empty()) {
                globals = stack.back();
                stack.pop_back();
            }
            break;
        case 0x80:
            lengths.inputBits[globals.reportId] += globals.reportSize * globals.reportCount;
            break;
        case 0x90:
            lengths.outputBits[globals.reportId] += globals.reportSize * globals.reportCount;
            break;
        default:
            break;
        }
        at += 1 + dataSize;
    }
    return lengths;
}

// The longest report's bytes, the ID byte included (Windows' report byte
// length); 0 when there is none.
std::uint32_t ByteLength(const std::map<int, std::uint32_t>& bits) {
    std::uint32_t longest = 0;
    for (const auto& [id, count] : bits) {
        (void)id;
        longest = std::max(longest, (count + 7) / 8 + 1);
    }
    return longest;
}

std::string Ids(const std::map<int, std::uint32_t>& bits) {
    std::string ids;
    for (const auto& [id, count] : bits) {
        (void)count;
        ids += (ids.empty() ? "" : ",") + std::to_string(id);
    }
    return ids.empty() ? "none" : ids;
}

// The command report for `name`, as the updater builds it.
std::vector<std::uint8_t> BuildCommand(const std::string& name, std::uint8_t& command) {
    std::vector<std::uint8_t> report(REPORT_SIZE, 0);
    report[0] = COMMAND_REPORT_ID;
    if (name == "status") {
        command = CMD_GET_UNIT_STATUS;
        report[2] = 0x00;
    } else if (name == "memory") {
        command = CMD_READ_MEMORY;
        report[2] = 0x0C;
        WriteLe32(&report[4], 0x0801FC00);
    } else if (name == "esc-info") {
        command = CMD_READ_ESC_FIRMWARE_INFO;
        report[2] = 0x08;
        WriteLe32(&report[4], 0x00000020);
        WriteLe32(&report[8], 0xFFFFFFE0);
    } else if (name == "esc-identity") {
        command = CMD_GET_ESC_IDENTITY;
    } else if (name == "lock") {
        command = CMD_SYSTEM_LOCK;
        report[2] = 0x01;
        report[3] = 0x01;
    } else {
        Usage("unknown command \"" + name + "\"");
    }
    report[1] = command;
    return report;
}

// One line saying what the reply means.
std::string Decode(std::uint8_t command, const std::uint8_t* reply) {
    char text[256];
    const std::uint8_t status = reply[1];
    if (status == REPLY_STATUS_FAILED) {
        std::snprintf(text, sizeof text, "reply: status=0xFF error-code=0x%08X",
                      ReadLe32(&reply[4]));
        return text;
    }
    switch (command) {
    case CMD_GET_UNIT_STATUS:
        if (reply[3] == 0) {
            std::snprintf(text, sizeof text,
                          "reply: status=0x%02X mode=normal esc-state=%u unit-firmware=0x%08X",
                          status, ReadLe16(&reply[4]), ReadLe32(&reply[8]));
        } else {
            std::snprintf(text, sizeof text, "reply: status=0x%02X mode=bootloader state=%u",
                          status, reply[3]);
        }
        break;
    case CMD_READ_MEMORY:
        std::snprintf(text, sizeof text, "reply: status=0x%02X unit-firmware=0x%08X next=0x%08X",
                      status, ReadLe32(&reply[8]), ReadLe32(&reply[12]));
        break;
    case CMD_SYSTEM_LOCK:
        std::snprintf(text, sizeof text, "reply: status=0x%02X state=%u", status, reply[3]);
        break;
    case CMD_READ_ESC_FIRMWARE_INFO:
        std::snprintf(text, sizeof text, "reply: status=0x%02X esc-firmware=0x%04X", status,
                      ReadLe16(&reply[8]));
        break;
    default:
        std::snprintf(text, sizeof text, "reply: status=0x%02X esc-type=0x%08X esc-boot=0x%08X",
                      status, ReadLe32(&reply[4]), ReadLe32(&reply[8]));
        break;
    }
    return text;
}

// The nearest-rank percentile of sorted nanoseconds, in milliseconds.
double Percentile(const std::vector<std::uint64_t>& sorted, double fraction) {
    const double exact = fraction * static_cast<double>(sorted.size());
    std::size_t rank = static_cast<std::size_t>(exact);
    if (static_cast<double>(rank) < exact) {
        ++rank;
    }
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--count") {
            const std::string text = value();
            char* end = nullptr;
            const long count = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || count < 1 || count > 1'000'000) {
                Usage("--count takes 1 to 1000000");
            }
            options.count = static_cast<std::uint32_t>(count);
        } else if (arg == "--command") {
            options.command = value();
        } else if (arg == "--timeout-ms") {
            const std::string text = value();
            char* end = nullptr;
            const long ms = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || ms < 1 || ms > 600'000) {
                Usage("--timeout-ms takes 1 to 600000");
            }
            options.timeoutMs = static_cast<int>(ms);
        } else if (!arg.empty() && arg[0] == '-') {
            Usage("unknown option \"" + arg + "\"");
        } else if (options.node.empty()) {
            options.node = arg;
        } else {
            Usage("one node only");
        }
    }
    std::uint8_t command = 0;
    const std::vector<std::uint8_t> report = BuildCommand(options.command, command);

    if (options.node.empty()) {
        options.node = FindUnitNode();
        if (options.node.empty()) {
            Fail("no hidraw node of vendor 3f19 is there");
        }
    }
    const int fd = open(options.node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot open " + options.node + ": " + std::strerror(errno));
    }

    hidraw_devinfo info{};
    char name[256] = {};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0 ||
        ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name) < 0) {
        Fail("cannot read the device's identity: " + std::string(std::strerror(errno)));
    }
    std::printf("node %s: bus %u, %04x:%04x, \"%s\"\n", options.node.c_str(), info.bustype,
                static_cast<std::uint16_t>(info.vendor), static_cast<std::uint16_t>(info.product),
                name);

    int descriptorSize = 0;
    hidraw_report_descriptor descriptor{};
    if (ioctl(fd, HIDIOCGRDESCSIZE, &descriptorSize) < 0) {
        Fail("cannot read the report descriptor's size: " + std::string(std::strerror(errno)));
    }
    descriptor.size = static_cast<std::uint32_t>(descriptorSize);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        Fail("cannot read the report descriptor: " + std::string(std::strerror(errno)));
    }
    const ReportLengths lengths = ParseDescriptor(descriptor.value, descriptor.size);
    const std::uint32_t inputLength = ByteLength(lengths.inputBits);
    const std::uint32_t outputLength = ByteLength(lengths.outputBits);
    std::printf("reports: input ID %s, %u bytes; output ID %s, %u bytes (ID byte included)\n",
                Ids(lengths.inputBits).c_str(), inputLength, Ids(lengths.outputBits).c_str(),
                outputLength);
    if (!lengths.numbered || lengths.outputBits.count(COMMAND_REPORT_ID) == 0) {
        Fail("the device has no output report with ID 1");
    }
    if (outputLength > REPORT_SIZE || inputLength > REPORT_SIZE || outputLength < 2 ||
        inputLength < 2) {
        Fail("report lengths outside 2 to 60 bytes");
    }

    // Whatever input came before is not a reply to these commands.
    std::uint8_t in[4096];
    while (true) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 0) <= 0 || read(fd, in, sizeof in) <= 0) {
            break;
        }
    }

    std::vector<std::uint8_t> first;
    std::vector<std::uint64_t> times;
    times.reserve(options.count);
    for (std::uint32_t i = 1; i <= options.count; ++i) {
        const std::uint64_t start = NowNs();
        const ssize_t written = write(fd, report.data(), outputLength);
        if (written != static_cast<ssize_t>(outputLength)) {
            Fail("exchange " + std::to_string(i) + ": writing the command failed: " +
                 (written < 0 ? std::strerror(errno) : "short write"));
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, options.timeoutMs);
        if (ready == 0) {
            Fail("exchange " + std::to_string(i) + ": no reply within " +
                 std::to_string(options.timeoutMs) + " ms");
        }
        if (ready < 0 || !(waiting.revents & POLLIN)) {
            Fail("exchange " + std::to_string(i) + ": the node failed while waiting for the reply");
        }
        const ssize_t got = read(fd, in, sizeof in);
        const std::uint64_t end = NowNs();
        if (got < 0) {
            Fail("exchange " + std::to_string(i) + ": reading the reply failed: " +
                 std::strerror(errno));
        }
        if (static_cast<std::uint32_t>(got) != inputLength) {
            Fail("exchange " + std::to_string(i) + ": the reply has " + std::to_string(got) +
                 " bytes, not " + std::to_string(inputLength));
        }
        if (in[0] != REPLY_REPORT_ID) {
            Fail("exchange " + std::to_string(i) + ": the reply's report ID is " +
                 std::to_string(in[0]) + ", not 2");
        }
        const std::vector<std::uint8_t> reply(in, in + got);
        if (first.empty()) {
            first = reply;
            std::printf("%s\n", Decode(command, in).c_str());
        } else if (reply != first) {
            std::size_t at = 0;
            while (reply[at] == first[at]) {
                ++at;
            }
            Fail("exchange " + std::to_string(i) + ": the reply differs from the first at byte " +
                 std::to_string(at));
        }
        times.push_back(end - start);
    }
    close(fd);

    std::sort(times.begin(), times.end());
    std::printf("%u exchanges: median %.3f ms, 95th percentile %.3f ms, fastest %.3f ms, "
                "slowest %.3f ms\n",
                options.count, Percentile(times, 0.5), Percentile(times, 0.95),
                static_cast<double>(times.front()) / 1e6, static_cast<double>(times.back()) / 1e6);
    return 0;
}
