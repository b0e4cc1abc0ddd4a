// Any bytes: either the facts of an acceptable file or the first failed check's message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wave/wave_messages.hpp"
#include "wave/wave_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const HeaderCheck check = decodeWaveHeader(data, size);
    if (check.accepted) {
        const WaveInfo& info = check.info;
        if (info.channelCount != 2 || info.sampleRate != 44100 || info.bitsPerSample != 16 ||
            info.formatTag != 1 || info.frameCount < 1 || info.frameCount > 441000 ||
            std::memcmp(info.headerBytes.data() + 8, "WAVE", 4) != 0) {
            std::abort();
        }
        return 0;
    }
    const char* known[] = {kNotWaveText,   kNotPcmText,  kNotStereoText,   kNot16BitText,
                           kWrongRateText, kTooLongText, kNoSampleDataText};
    for (const char* text : known) {
        if (check.message == text && check.title == kCheckFailedTitle) {
            return 0;
        }
    }
    std::abort();
}
