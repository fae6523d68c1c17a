#include "tests/native/scripted_device.h"

#include <cstdio>

#include "tests/simulated_clock.h"
#include "link/unit_connection.h"

Bytes Reply(std::uint8_t status, std::uint8_t state, std::initializer_list<std::uint8_t> data) {
    Bytes reply(60, 0);
    reply[0] = 0x02;
    reply[1] = status;
    reply[3] = state;
    std::size_t at = 4;
    for (std::uint8_t byte : data) {
        reply.at(at++) = byte;
    }
    return reply;
}

Bytes FailedReply(std::uint32_t errorCode, std::uint8_t state) {
    Bytes reply = Reply(0xFF, state);
    PutLe32(reply, 4, errorCode);
    return reply;
}

Bytes Command(std::initializer_list<std::uint8_t> head) {
    Bytes command(head);
    command.resize(60, 0);
    return command;
}

void PutLe32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x ", byte);
        text += digits;
    }
    return text;
}

void BusTest::SetUp() {
    emulated_bus::Reset();
    simulated_clock::Reset();
    unitConnection = InitialConnection();
}

void BusTest::TearDown() {
    ResetConnection();
    emulated_bus::Reset();
}

void BusTest::OpenDirectly(const std::shared_ptr<EmulatedDevice>& device) {
    emulated_bus::Plug(device);
    unitConnection.handle = HidOpenInterface(device->path);
    ASSERT_NE(unitConnection.handle, INVALID_HID_HANDLE);
    unitConnection.devicePath = device->path;
    unitConnection.productId = device->productId;
    unitConnection.inputReportLength = device->inputReportLength;
    unitConnection.outputReportLength = device->outputReportLength;
}
