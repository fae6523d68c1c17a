// A line of a test program in the guest, written at once: whoever reads the
// program's output (a node test, the guest's script) acts on each line as it
// comes.
#pragma once

#include <cstdarg>
#include <cstdio>

inline void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
