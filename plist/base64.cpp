#include "plist/base64.h"

#include <cstdlib>
#include <cstring>

#include "plist/cfvalue_internal.h"

static constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every character outside the alphabet, "=" included, reads as 0. Built at compile time,
// so concurrent first decodes need no lock.
struct ReverseTable {
    uint8_t value[256];
    constexpr ReverseTable() : value() {
        for (int i = 0; i < 64; i++)
            value[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
};
static constexpr ReverseTable kReverse;

char *Base64Encode(const void *bytes, size_t length, size_t *outLength) {
    if (outLength) *outLength = 0;
    if (length > (SIZE_MAX - 4) / 4 * 3) return nullptr;
    size_t groups = (length + 2) / 3;
    size_t n = groups * 4;
    char *out = static_cast<char *>(CFAllocate(n + 1));
    const uint8_t *in = static_cast<const uint8_t *>(bytes);
    for (size_t g = 0; g < groups; g++) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 3; k++) {
            size_t i = g * 3 + k;
            bits = bits << 8 | (i < length ? in[i] : 0);
        }
        out[g * 4 + 0] = kAlphabet[(bits >> 18) & 63];
        out[g * 4 + 1] = kAlphabet[(bits >> 12) & 63];
        out[g * 4 + 2] = kAlphabet[(bits >> 6) & 63];
        out[g * 4 + 3] = kAlphabet[bits & 63];
    }
    if (length % 3 == 1) out[n - 2] = '=';
    if (length % 3 != 0) out[n - 1] = '=';
    out[n] = '\0';
    if (outLength) *outLength = n;
    return out;
}

uint8_t *Base64Decode(const char *text, size_t length, size_t *outLength) {
    if (outLength) *outLength = 0;
    if (!text || length > SIZE_MAX / 2) return nullptr;
    // Padding to a whole group is done by reading "=" past the end, not by copying.
    size_t padded = (length + 3) / 4 * 4;
    auto at = [&](size_t i) -> unsigned char {
        return i < length ? static_cast<unsigned char>(text[i]) : '=';
    };
    size_t n = padded / 4 * 3;
    if (padded && at(padded - 1) == '=') n--;
    if (padded && at(padded - 2) == '=') n--;
    uint8_t *out = static_cast<uint8_t *>(CFAllocate(n));
    size_t used = 0;
    for (size_t g = 0; g < padded; g += 4) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; k++)
            bits = bits << 6 | kReverse.value[at(g + k)];
        for (int shift = 16; shift >= 0; shift -= 8)
            if (used < n) out[used++] = static_cast<uint8_t>(bits >> shift);
    }
    if (outLength) *outLength = n;
    return out;
}
