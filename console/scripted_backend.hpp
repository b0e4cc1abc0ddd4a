#pragma once

#include <string>

#include "console/console_device.hpp"

KeyEvent scriptPeekKey(ScriptedConsole& script);
void scriptDropKey(ScriptedConsole& script);
void scriptMessageBox(ScriptedConsole& script, const std::string& title, const std::string& text);
