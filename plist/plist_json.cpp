// The JSON-style reader: objects, arrays, quoted strings (escapes kept as written),
// numbers without exponents, and the words true, false and null by their first letter.
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "plist/cfvalue_internal.h"
#include "plist/plist.h"

namespace {

using JsonReader = PlistTextReader;

enum TokenForm { kUnsignedForm, kSignedForm, kRealForm, kBoolForm, kNullForm };

constexpr size_t kTokenTextLimit = 512;

CFValue *NumberFromToken(const char *token, size_t length, TokenForm form) {
    char first = token[0];
    if (first == 'T' || first == 't') return CFNumberFromBool(1);
    if (first == 'F' || first == 'f') return CFNumberFromBool(0);
    if (first == 'N' || first == 'n') return CFNullNew();
    char buffer[kTokenTextLimit + 1];
    size_t n = length < kTokenTextLimit ? length : kTokenTextLimit;
    memcpy(buffer, token, n);
    buffer[n] = '\0';
    double value = 0.0;
    // A token that is not a number ("-" alone) reads as 0.
    if (sscanf(buffer, "%lf", &value) != 1) value = 0.0;
    if (form == kRealForm) return CFNumberFromReal(value);
    // Truncated toward zero, low 32 bits kept; beyond 64 bits the value saturates.
    int64_t whole;
    if (value >= 9223372036854775807.0)
        whole = INT64_MAX;
    else if (value <= -9223372036854775808.0)
        whole = INT64_MIN;
    else
        whole = static_cast<int64_t>(value);
    uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(whole));
    if (value < 0) return CFNumberFromSigned(static_cast<int32_t>(low));
    return CFNumberFromUnsigned(low);
}

CFValue *ReadValue(JsonReader *r, const char **cursor, size_t *remaining);

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

CFValue *ReadValue(JsonReader *r, const char **cursor, size_t *remaining) {
    if (r->failed) return nullptr;
    int state = 0;
    const char *start = nullptr;
    size_t length = 0;
    TokenForm form = kUnsignedForm;
    auto advance = [&] {
        (*cursor)++;
        (*remaining)--;
    };
    while (*remaining) {
        char c = **cursor;
        if (state == 0) {
            switch (c) {
            case '{':
                advance();
                return PlistReadDictionaryItems(r, ReadValue, cursor, remaining);
            case '[':
                advance();
                return PlistReadArrayItems(r, ReadValue, cursor, remaining);
            case '"':
                advance();
                start = *cursor;
                length = 0;
                state = 1;
                continue;
            case ']':
            case '}':
                advance();
                return nullptr;
            case '-':
                form = kSignedForm;
                break;
            case 'T':
            case 't':
            case 'F':
            case 'f':
                form = kBoolForm;
                break;
            case 'N':
            case 'n':
                form = kNullForm;
                break;
            default:
                if (IsDigit(c)) {
                    form = kUnsignedForm;
                    break;
                }
                // Blanks, separators and other letters.
                advance();
                continue;
            }
            // The first byte of a bare token is taken, so a word is never read twice.
            start = *cursor;
            length = 1;
            advance();
            state = 3;
        } else if (state == 1) {
            // A quote ends the string unless a single backslash stands before it.
            bool escaped = length >= 1 && start[length - 1] == '\\' &&
                           !(length >= 2 && start[length - 2] == '\\');
            if (c == '"' && !escaped) {
                advance();
                if (length == 0) return CFStringFromBytes("", 0);
                return CFStringFromBytes(start, static_cast<int32_t>(length));
            }
            length++;
            advance();
        } else {
            if (IsDigit(c)) {
                length++;
                advance();
            } else if (c == '.') {
                if (form != kBoolForm && form != kNullForm) form = kRealForm;
                length++;
                advance();
            } else {
                return NumberFromToken(start, length, form);
            }
        }
    }
    *remaining = 0;
    return nullptr;
}

} // namespace

CFValue *PlistReadJsonValue(const char **cursor, size_t *remaining) {
    if (!cursor || !*cursor || !remaining) return nullptr;
    JsonReader reader{0, false};
    return ReadValue(&reader, cursor, remaining);
}
