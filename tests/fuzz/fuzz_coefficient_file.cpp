// Any bytes and any tap count: exactly that many taps come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "dsp/coefficient_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int tapCount = (data[0] | (data[1] << 8)) & 0x3FF;
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    if (parseCoefficientText(text, tapCount).size() != static_cast<std::size_t>(tapCount)) {
        std::abort();
    }
    return 0;
}
