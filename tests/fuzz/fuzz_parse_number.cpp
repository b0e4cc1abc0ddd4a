// Any text: a number comes back, never a trap, never a read past the text (libFuzzer's buffer
// is exactly `size` long). Leading blanks change nothing, and a minus sign before a text that
// starts with a digit or a point negates it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/number_parse.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const long double value = parseNumber(text);
    require(!std::isnan(value));

    const std::string padded = " \t\n" + std::string(text);
    require(parseNumber(padded) == value);

    if (size > 0 && (text[0] == '.' || (text[0] >= '0' && text[0] <= '9'))) {
        require(parseNumber("-" + std::string(text)) == -value);
    }
    return 0;
}
