#pragma once

#include <deque>
#include <string>

#include "console/console_device.hpp"

// Turns the bytes a terminal sends into key events. Escape sequences (cursor and function keys)
// and Alt with a key become one extended key each; Backspace (127 or 8) is character 8; every
// other byte is the character it is. A lone Escape can only be told from the start of a
// sequence by the pause after it, so the caller flushes the decoder when no byte follows soon.
struct KeyDecoder {
    std::string pending;  // the unfinished escape sequence, starting with ESC
};

void decodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::deque<KeyEvent>& keys);

// No further byte came: a lone ESC is the Escape key, an unfinished sequence an extended key.
void flushKeyDecoder(KeyDecoder& decoder, std::deque<KeyEvent>& keys);

inline bool keyDecoderWaiting(const KeyDecoder& decoder) {
    return !decoder.pending.empty();
}
