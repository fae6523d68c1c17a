// Texts of the string table, by id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Every text is loaded into a buffer of this many wide characters, terminator
// included.
constexpr std::size_t TEXT_BUFFER_SIZE = 2048;

// The text `id` in the user interface language, at most TEXT_BUFFER_SIZE - 1
// characters; empty when there is no such text. On Windows the resource
// loader chooses the language; elsewhere German for a German (Germany) user
// interface and English otherwise.
std::wstring LoadTextResource(std::uint32_t id);
