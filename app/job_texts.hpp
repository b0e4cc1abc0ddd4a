#pragma once

#include "wave/wave_reader.hpp"

// The dialogue's colours: black on bright white for what the user types, dark grey on bright
// white for everything the program says.
inline constexpr int kInputForeground = 0;
inline constexpr int kPromptForeground = 8;
inline constexpr int kScreenBackground = 15;

inline constexpr int kScreenRows = 65;

// The titles and texts of the boxes, blanks included: the titles are padded to sit where the
// screen shows them.
inline constexpr char kErrorTitle[] = "  ERROR";
inline constexpr char kNotFoundTitle[] = "              ERROR";
inline constexpr char kNotFoundText[] = "          File not found.\\nPlease enter a valid filename";
inline constexpr char kSpeedText[] = "You must specify either '33' or '45' ";
inline constexpr char kRadiusText[] =
    "The groove radius must not be 0: the groove would not move under the stylus ";
inline constexpr char kMemoryText[] = "There is not enough memory to process this file ";

inline constexpr char kNotWaveText[] = "This is not a Wave file ";
inline constexpr char kNotPcmText[] = "This is not a PCM format Wave file ";
inline constexpr char kNotStereoText[] = "This is not a stereo Wave file ";
inline constexpr char kNot16BitText[] = "This is not a 16-bit Wave file ";
inline constexpr char kWrongRateText[] = "This file does not have a sampling rate of 44.1kHz ";
inline constexpr char kTooLongText[] =
    "File duration is limited to 10 seconds. This file is too long ";
inline constexpr char kNoSampleDataText[] = "This file holds no sample data ";

struct BoxText {
    const char* title;
    const char* text;
};

// The box that refuses an input file.
constexpr BoxText waveErrorBox(WaveError error) {
    switch (error) {
        case WaveError::None:
            break;
        case WaveError::FileNotFound:
            return {kNotFoundTitle, kNotFoundText};
        case WaveError::NotWave:
            return {kErrorTitle, kNotWaveText};
        case WaveError::NotPcm:
            return {kErrorTitle, kNotPcmText};
        case WaveError::NotStereo:
            return {kErrorTitle, kNotStereoText};
        case WaveError::Not16Bit:
            return {kErrorTitle, kNot16BitText};
        case WaveError::WrongRate:
            return {kErrorTitle, kWrongRateText};
        case WaveError::TooLong:
            return {kErrorTitle, kTooLongText};
        case WaveError::NoSampleData:
            return {kErrorTitle, kNoSampleDataText};
    }
    return {"", ""};
}
