#include "console/terminal_glyphs.hpp"

namespace {

// Bytes 0 to 31 as the console draws them.
constexpr wchar_t kControlGlyphs[32] = {
    L' ',      L'\u263A', L'\u263B', L'\u2665', L'\u2666', L'\u2663', L'\u2660', L'\u2022',
    L'\u25D8', L'\u25CB', L'\u25D9', L'\u2642', L'\u2640', L'\u266A', L'\u266B', L'\u263C',
    L'\u25BA', L'\u25C4', L'\u2195', L'\u203C', L'\u00B6', L'\u00A7', L'\u25AC', L'\u21A8',
    L'\u2191', L'\u2193', L'\u2192', L'\u2190', L'\u221F', L'\u2194', L'\u25B2', L'\u25BC'};

// Bytes 128 to 159 of Windows-1252; its five unused positions show as a middle dot.
constexpr wchar_t kUpperControlGlyphs[32] = {
    L'\u20AC', L'\u00B7', L'\u201A', L'\u0192', L'\u201E', L'\u2026', L'\u2020', L'\u2021',
    L'\u02C6', L'\u2030', L'\u0160', L'\u2039', L'\u0152', L'\u00B7', L'\u017D', L'\u00B7',
    L'\u00B7', L'\u2018', L'\u2019', L'\u201C', L'\u201D', L'\u2022', L'\u2013', L'\u2014',
    L'\u02DC', L'\u2122', L'\u0161', L'\u203A', L'\u0153', L'\u00B7', L'\u017E', L'\u0178'};

}  // namespace

wchar_t glyphForByte(unsigned char byte) {
    if (byte < 32) {
        return kControlGlyphs[byte];
    }
    if (byte < 127) {
        return static_cast<wchar_t>(byte);
    }
    if (byte == 127) {
        return L'\u2302';
    }
    if (byte < 160) {
        return kUpperControlGlyphs[byte - 128];
    }
    if (byte == 0xA0) {
        return L' ';  // no-break space
    }
    if (byte == 0xAD) {
        return L'-';  // soft hyphen, which terminals would draw with no width
    }
    return static_cast<wchar_t>(byte);  // Latin-1
}

char asciiGlyphForByte(unsigned char byte) {
    return byte >= 32 && byte < 127 ? static_cast<char>(byte) : '?';
}

int ansiColourForConsoleColour(int consoleColour) {
    return (consoleColour & 8) | ((consoleColour & 1) << 2) | (consoleColour & 2) |
           ((consoleColour & 4) >> 2);
}
