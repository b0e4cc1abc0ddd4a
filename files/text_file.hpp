#pragma once

#include <string>

// Writes `text` to `path` whole or not at all (through SafeOutput): whatever the file held stays
// as it was when the write fails. False with the reason.
bool writeTextFile(const std::string& path, const std::string& text, std::string& reason);
