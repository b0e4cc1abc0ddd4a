#include "console/key_decoder.hpp"

namespace {

constexpr unsigned char kEscape = 27;
constexpr unsigned char kDelete = 127;
constexpr std::size_t kLongestSequence = 32;

void emitCharacter(std::deque<KeyEvent>& keys, unsigned char character) {
    keys.push_back(KeyEvent{KeyKind::Character, character});
}

void emitExtended(KeyDecoder& decoder, std::deque<KeyEvent>& keys) {
    decoder.pending.clear();
    keys.push_back(KeyEvent{KeyKind::Extended, 0});
}

bool isFinalByte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0x7E;
}
bool isParameterOrIntermediate(unsigned char byte) {
    return byte >= 0x20 && byte <= 0x3F;
}

}  // namespace

void decodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::deque<KeyEvent>& keys) {
    std::string& pending = decoder.pending;
    if (pending.empty()) {
        if (byte == kEscape) {
            pending.assign(1, static_cast<char>(kEscape));
        } else {
            emitCharacter(keys, byte == kDelete ? 8 : byte);
        }
        return;
    }
    if (pending.size() == 1) {  // ESC and one more byte
        if (byte == '[' || byte == 'O') {
            pending += static_cast<char>(byte);
        } else if (byte == kEscape) {
            emitCharacter(keys, kEscape);  // the first ESC stood alone; the second may start more
        } else {
            emitExtended(decoder, keys);  // Alt with a key
        }
        return;
    }
    if (pending[1] == 'O') {  // ESC O x: keypad and function keys
        if (byte >= 0x20 && byte <= 0x7E) {
            emitExtended(decoder, keys);
        } else {
            emitExtended(decoder, keys);
            decodeKeyByte(decoder, byte, keys);
        }
        return;
    }
    // ESC [ parameters intermediates final
    if (isFinalByte(byte) && !(pending.size() == 2 && byte == '[')) {
        emitExtended(decoder, keys);
    } else if (isParameterOrIntermediate(byte) || byte == '[') {
        pending += static_cast<char>(byte);
        if (pending.size() > kLongestSequence) {
            emitExtended(decoder, keys);
        }
    } else {
        emitExtended(decoder, keys);  // a control byte breaks the sequence off and counts itself
        decodeKeyByte(decoder, byte, keys);
    }
}

void flushKeyDecoder(KeyDecoder& decoder, std::deque<KeyEvent>& keys) {
    if (decoder.pending.empty()) {
        return;
    }
    if (decoder.pending.size() == 1) {
        decoder.pending.clear();
        emitCharacter(keys, kEscape);
        return;
    }
    emitExtended(decoder, keys);
}
