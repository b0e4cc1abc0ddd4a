#pragma once

#include <string>

#include "console/console_device.hpp"

// The console-window services the program dresses its window with. On a terminal there is no
// tool bar, icon, window menu or window position: those calls change nothing.
void InitConsoleTools(ConsoleDevice& device);
void ConsoleToolBar(ConsoleDevice& device, int style, int buttons);
void ConsoleTitle(ConsoleDevice& device, const std::string& title);
void ConsoleIcon(ConsoleDevice& device, int icon);
void DeleteWindowMenuItem(ConsoleDevice& device, int item);
// Lays the screen buffer out 80 columns wide and `rows` rows high.
void Console80x(ConsoleDevice& device, int rows);
void ConsoleMove(ConsoleDevice& device, int left, int top);
// Modal: returns once the user has dismissed the box.
void ConsoleMessageBox(ConsoleDevice& device, const std::string& text, const std::string& title);

// Type 0 is the default sound: the terminal bell.
void MessageBeep(ConsoleDevice& device, unsigned type);
void Sleep(ConsoleDevice& device, unsigned milliseconds);
