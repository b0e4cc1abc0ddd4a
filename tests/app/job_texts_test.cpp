#include "app/job_texts.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/wave_bytes.hpp"

namespace {

// Every refused file gets the box the program has always shown for it, texts and titles with
// their blanks.
TEST(WaveErrorBoxes, EachRefusalHasItsOwnTitleAndText) {
    const struct {
        WaveError error;
        const char* title;
        std::string text;
    } boxes[] = {
        {WaveError::FileNotFound, "              ERROR",
         std::string("          File not found.") + '\\' + "nPlease enter a valid filename"},
        {WaveError::NotWave, "  ERROR", "This is not a Wave file "},
        {WaveError::NotPcm, "  ERROR", "This is not a PCM format Wave file "},
        {WaveError::NotStereo, "  ERROR", "This is not a stereo Wave file "},
        {WaveError::Not16Bit, "  ERROR", "This is not a 16-bit Wave file "},
        {WaveError::WrongRate, "  ERROR", "This file does not have a sampling rate of 44.1kHz "},
        {WaveError::TooLong, "  ERROR",
         "File duration is limited to 10 seconds. This file is too long "},
        {WaveError::NoSampleData, "  ERROR", "This file holds no sample data "},
    };
    for (const auto& box : boxes) {
        const BoxText shown = waveErrorBox(box.error);
        EXPECT_STREQ(shown.title, box.title) << box.error;
        EXPECT_EQ(std::string(shown.text), box.text) << box.error;
    }
}

}  // namespace
