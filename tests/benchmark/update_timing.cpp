// Measures one whole update against the emulated unit with the real waits:
// the wall time divided by the waits the update must make (45,840 ms for the
// 97,808-byte image). 1.000 would be no overhead at all.
//
// Not a test: it takes about 46 seconds and its figure depends on the machine.
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/shell.h"
#include "app/texts.h"
#include "emulator/emulated_unit.h"
#include "link/unit_connection.h"
#include "tests/native/recorded_window.h"
#include "update/firmware_image.h"

int main() {
    auto unit = std::make_shared<EmulatedUnit>(L"emulated-link-box", PRODUCT_ID_LINK_BOX);
    emulated_bus::Plug(unit);
    StartShell();
    OnInitDialog(0x1234);
    if (!recorded_window::ItemEnabled(IDC_UPDATE)) {
        std::fprintf(stderr, "update_timing: the emulated unit was not found ready\n");
        return 1;
    }

    const FirmwareImage image = LocateFirmwareImage();
    const std::uint32_t blocks = (image.size + 47) / 48;
    const double escWaitsMs = 20 + 20 + 1000 + 4000 + 20 + 20 + 20.0 * blocks;

    const auto start = std::chrono::steady_clock::now();
    OnCommand(IDC_UPDATE);
    const auto end = std::chrono::steady_clock::now();
    const double wallMs = std::chrono::duration<double, std::milli>(end - start).count();

    const bool succeeded = recorded_window::ItemText(IDC_HINT) == LoadText(IDS_UPDATE_SUCCEEDED) &&
                           unit->blockLengths.size() == blocks;
    std::printf("update of %u bytes in %u blocks: %s\n", image.size, blocks,
                succeeded ? "succeeded" : "FAILED");
    std::printf("wall time        %10.1f ms\n", wallMs);
    std::printf("the ESC's waits  %10.1f ms\n", escWaitsMs);
    std::printf("ratio            %10.4f\n", wallMs / escWaitsMs);
    std::printf("overhead/block   %10.3f ms\n", (wallMs - escWaitsMs) / blocks);
    return succeeded ? 0 : 1;
}
