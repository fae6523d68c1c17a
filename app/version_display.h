// The three version rows of the main window and their texts.
#pragma once

#include <cstdint>
#include <string>

// Brings the three version rows in line with the open unit.
void RefreshVersionDisplay();

// The version texts of the rows.
std::wstring UnitVersionText(std::uint32_t version);
std::wstring BootloaderVersionText(std::uint32_t version);
std::wstring EscVersionText(std::uint16_t version);
