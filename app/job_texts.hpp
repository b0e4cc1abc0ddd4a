#pragma once

// The dialogue's colours: black on bright white for what the user types, dark grey on bright
// white for everything the program says.
inline constexpr int kInputForeground = 0;
inline constexpr int kPromptForeground = 8;
inline constexpr int kScreenBackground = 15;

inline constexpr int kScreenRows = 65;

inline constexpr char kErrorTitle[] = "  ERROR";
inline constexpr char kNotFoundTitle[] = "              ERROR";
inline constexpr char kNotFoundText[] = "          File not found.\\nPlease enter a valid filename";
inline constexpr char kSpeedText[] = "You must specify either '33' or '45' ";
inline constexpr char kRadiusText[] =
    "The groove radius must not be 0: the groove would not move under the stylus ";
inline constexpr char kMemoryText[] = "There is not enough memory to process this file ";
