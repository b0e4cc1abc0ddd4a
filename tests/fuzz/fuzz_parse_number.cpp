// Any text: a number comes back, never a trap, never a read past the text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "console/number_parse.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const long double value =
        parseNumber(std::string_view(reinterpret_cast<const char*>(data), size));
    if (std::isnan(value)) {
        std::abort();
    }
    return 0;
}
