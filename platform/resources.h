// Raw-data resources of the program.
#pragma once

#include <cstdint>

// A resource's bytes where the loader mapped them; they stay valid for the
// life of the process. `data` is null when there is no such resource.
struct RawResource {
    const std::uint8_t* data;
    std::uint32_t size;
};

// The RT_RCDATA resource `id` of the program's own module.
RawResource LoadRawResource(std::uint32_t id);
