// Any bytes and any tap count: exactly that many taps come back, each a number, and a smaller
// tap count gives the first taps of a larger one unchanged.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "dsp/coefficient_file.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    // Tap counts from -2 to 1021, and a second one up to 255 taps smaller.
    const int tapCount = ((data[0] | (data[1] << 8)) & 0x3FF) - 2;
    const int fewer = tapCount - data[2];
    const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

    const std::vector<double> taps = parseCoefficientText(text, tapCount);
    require(taps.size() == static_cast<std::size_t>(std::max(tapCount, 0)));
    for (const double tap : taps) {
        require(!std::isnan(tap));
    }
    const std::vector<double> first = parseCoefficientText(text, fewer);
    require(first.size() == static_cast<std::size_t>(std::max(fewer, 0)));
    require(std::equal(first.begin(), first.end(), taps.begin()));
    return 0;
}
