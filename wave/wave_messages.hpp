#pragma once

// Titles and texts of the boxes that refuse an input file.
inline constexpr const char* kFileNotFoundTitle = "              ERROR";
inline constexpr const char* kFileNotFoundText =
    "          File not found.\\nPlease enter a valid filename";
inline constexpr const char* kCheckFailedTitle = "  ERROR";

inline constexpr const char* kNotWaveText = "This is not a Wave file ";
inline constexpr const char* kNotPcmText = "This is not a PCM format Wave file ";
inline constexpr const char* kNotStereoText = "This is not a stereo Wave file ";
inline constexpr const char* kNot16BitText = "This is not a 16-bit Wave file ";
inline constexpr const char* kWrongRateText = "This file does not have a sampling rate of 44.1kHz ";
inline constexpr const char* kTooLongText =
    "File duration is limited to 10 seconds. This file is too long ";
inline constexpr const char* kNoSampleDataText = "This file holds no sample data ";
