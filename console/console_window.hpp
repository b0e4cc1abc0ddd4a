#pragma once

#include <string>

#include "console/console_device.hpp"

// The console-window services the program dresses its window with: a terminal has a title and
// a screen size, and no tool bar, icon, window menu or window position.
void ConsoleTitle(ConsoleDevice& device, const std::string& title);
// Lays the screen buffer out 80 columns wide and `rows` rows high.
void Console80x(ConsoleDevice& device, int rows);
// Modal: returns once the user has dismissed the box.
void ConsoleMessageBox(ConsoleDevice& device, const std::string& text, const std::string& title);

// Type 0 is the default sound: the terminal bell.
void MessageBeep(ConsoleDevice& device, unsigned type);
void Sleep(ConsoleDevice& device, unsigned milliseconds);
