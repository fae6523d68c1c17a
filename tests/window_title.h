// The main window's title as the owner reads it, in both languages, with
// the blank at its end: what every C++ test looks for and compares with.
#pragma once

constexpr const wchar_t* WINDOW_TITLE = L"VESTORA ORVANTO FW Updater 3.0 ";
