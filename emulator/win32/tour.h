// The demo's scripted tour: the updater with the emulated unit through its
// states, a screenshot of each stage saved as a BMP file in `folder` (a
// Windows path), names starting with `prefix`. With `quick` the long update
// to success is left out. Returns the process exit code: 0 when every stage
// showed what it should.
#pragma once

#include <string>

int RunTour(const std::wstring& folder, const std::wstring& prefix, bool quick);
