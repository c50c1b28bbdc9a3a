#include "utf16_text.h"

namespace {

const uint32_t kReplacement = 0xFFFD;

// Decodes one character at *p and advances past it.
uint32_t DecodeUtf8(const unsigned char** p) {
    const unsigned char* s = *p;
    uint32_t lead = s[0];
    if (lead < 0x80) {
        *p = s + 1;
        return lead;
    }
    int extra;
    uint32_t cp;
    uint32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
        minimum = 0x10000;
    } else {
        *p = s + 1;
        return kReplacement;
    }
    for (int i = 1; i <= extra; i++) {
        // A zero byte is no continuation byte, so this never runs past the end.
        if ((s[i] & 0xC0) != 0x80) {
            *p = s + i;
            return kReplacement;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    *p = s + 1 + extra;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

}  // namespace

size_t pdx_utf8_to_utf16(const char* text, uint16_t* out, size_t cap) {
    const unsigned char* p = (const unsigned char*)text;
    size_t n = 0;
    while (*p) {
        uint32_t cp = DecodeUtf8(&p);
        if (cp >= 0x10000) {
            if (cap - n < 2) break;
            cp -= 0x10000;
            out[n++] = (uint16_t)(0xD800 | (cp >> 10));
            out[n++] = (uint16_t)(0xDC00 | (cp & 0x3FF));
        } else {
            if (cap - n < 1) break;
            out[n++] = (uint16_t)cp;
        }
    }
    return n;
}
