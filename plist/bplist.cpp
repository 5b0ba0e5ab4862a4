// The binary property-list reader (format version 0).
//
// References are followed recursively and every reference is decoded afresh, so a list
// that shares a sub-tree expands into copies. Three guards keep hostile input bounded:
// a reference back into a container still being decoded (a cycle) fails the parse, as
// does nesting beyond kPlistMaxDepth or creating more than kBplistMaxObjects values.
#include <cstring>
#include <vector>

#include "base/log.h"
#include "plist/cfvalue_internal.h"
#include "plist/plist.h"

namespace {

constexpr uint64_t kReadPastEnd = UINT64_MAX;

struct BplistReader {
    const uint8_t *bytes;
    uint64_t length;
    BplistTrailer trailer;
    uint64_t made;          // values created so far
    uint32_t depth;         // containers being decoded
    std::vector<bool> open; // by offset: a container being decoded
};

// Byte offset of the object that the reference at position p names; 0 for a reference
// outside the object area or not below the object count (offset 0 then decodes as a
// placeholder); kReadPastEnd when the reference or its offset-table entry lies past the
// end of the block.
uint64_t ResolveRef(const BplistReader &r, uint64_t p) {
    const BplistTrailer &t = r.trailer;
    if (p < 8 || p + t.referenceSize > t.offsetTableStart) return 0;
    if (p + t.referenceSize > r.length) return kReadPastEnd;
    uint64_t index = BplistReadInt(r.bytes + p, t.referenceSize);
    if (index >= t.objectCount) return 0;
    // index * offsetSize overflows only for entries far past any real block.
    if (t.offsetSize && index > (r.length / t.offsetSize)) return kReadPastEnd;
    uint64_t entry = t.offsetTableStart + index * t.offsetSize;
    if (entry < t.offsetTableStart || entry > r.length || t.offsetSize > r.length - entry)
        return kReadPastEnd;
    return BplistReadInt(r.bytes + entry, t.offsetSize);
}

// The element count of the object at o and the position of its content.
bool ReadCount(const BplistReader &r, uint64_t o, uint64_t *count, uint64_t *content) {
    uint8_t low = r.bytes[o] & 15;
    if (low != 15) {
        *count = low;
        *content = o + 1;
        return true;
    }
    if (o + 2 > r.length) return false;
    uint64_t size = uint64_t{1} << (r.bytes[o + 1] & 15);
    if (size > r.length - (o + 2)) return false;
    *count = BplistReadInt(r.bytes + o + 2, size);
    *content = o + 2 + size;
    return true;
}

bool HasBytes(const BplistReader &r, uint64_t position, uint64_t n) {
    return position <= r.length && n <= r.length - position;
}

CFValue *Placeholder(const char *text) {
    return CFStringFromBytes(text, 0);
}

CFValue *ReadObject(BplistReader &r, uint64_t o);

// Enters the container at o; false (and a log line) when a guard trips.
bool EnterContainer(BplistReader &r, uint64_t o, uint64_t elements) {
    if (r.depth >= kPlistMaxDepth) {
        DebugLog(2, "Binary property list nested deeper than %u levels\n", kPlistMaxDepth);
        return false;
    }
    if (elements > kBplistMaxObjects - r.made) {
        DebugLog(2, "Binary property list expands to more than %llu values\n",
                 static_cast<unsigned long long>(kBplistMaxObjects));
        return false;
    }
    if (r.open.empty()) r.open.resize(r.length);
    if (r.open[o]) {
        DebugLog(2, "Binary property list refers to itself\n");
        return false;
    }
    r.open[o] = true;
    r.depth++;
    return true;
}

void LeaveContainer(BplistReader &r, uint64_t o) {
    r.open[o] = false;
    r.depth--;
}

CFValue *ReadArray(BplistReader &r, uint64_t o) {
    uint64_t count, content;
    if (!ReadCount(r, o, &count, &content)) return nullptr;
    uint64_t refSize = r.trailer.referenceSize;
    if (refSize && count > (r.length - content) / refSize) return nullptr;
    if (!EnterContainer(r, o, count)) return nullptr;
    CFValue *array = CFArrayNew(static_cast<uint32_t>(count));
    for (uint64_t i = 0; i < count; i++) {
        CFValue *element = ReadObject(r, ResolveRef(r, content + i * refSize));
        if (!element) {
            CFValueRelease(array);
            LeaveContainer(r, o);
            return nullptr;
        }
        CFArrayPush(array, element);
        CFValueRelease(element);
    }
    LeaveContainer(r, o);
    return array;
}

CFValue *ReadDictionary(BplistReader &r, uint64_t o) {
    uint64_t count, content;
    if (!ReadCount(r, o, &count, &content)) return nullptr;
    uint64_t refSize = r.trailer.referenceSize;
    if (refSize && count > (r.length - content) / refSize / 2) return nullptr;
    if (count > kBplistMaxObjects) return nullptr;
    if (!EnterContainer(r, o, 2 * count)) return nullptr;
    CFValue *d = CFDictionaryNew(static_cast<uint32_t>(count));
    CFDictionaryBuilder *builder = CFDictionaryBuilderNew(d);
    bool ok = true;
    for (uint64_t i = 0; i < count && ok; i++) {
        CFValue *key = ReadObject(r, ResolveRef(r, content + i * refSize));
        if (!key) {
            ok = false;
            break;
        }
        CFValue *value = ReadObject(r, ResolveRef(r, content + (count + i) * refSize));
        if (!value) {
            ok = false;
        } else if (!CFDictionaryBuilderPut(builder, value, key)) {
            DebugLog(2, "Binary property list dictionary has too many keys that are not "
                        "strings\n");
            ok = false;
        }
        CFValueRelease(key);
        CFValueRelease(value);
    }
    CFDictionaryBuilderFree(builder);
    LeaveContainer(r, o);
    if (!ok) {
        CFValueRelease(d);
        return nullptr;
    }
    return d;
}

double ReadBigEndianReal(const uint8_t *p, size_t size) {
    uint64_t bits = BplistReadInt(p, size);
    if (size == 4) {
        uint32_t narrow = static_cast<uint32_t>(bits);
        float f;
        memcpy(&f, &narrow, sizeof f);
        return f;
    }
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

CFValue *ReadObject(BplistReader &r, uint64_t o) {
    if (o >= r.length) return nullptr;
    uint8_t marker = r.bytes[o];
    if (marker >= 0xE0) return nullptr;
    if (r.made >= kBplistMaxObjects) {
        DebugLog(2, "Binary property list expands to more than %llu values\n",
                 static_cast<unsigned long long>(kBplistMaxObjects));
        return nullptr;
    }
    r.made++;
    uint8_t low = marker & 15;
    switch (marker >> 4) {
    case 0x0:
        if (marker == 0x00) return Placeholder("<Unhandled Null>");
        if (marker == 0x08) return CFNumberFromBool(0);
        if (marker == 0x09) return CFNumberFromBool(1);
        if (marker == 0x0F) return Placeholder("<Unhandled Fill>");
        return nullptr;
    case 0x1: {
        // Integers are at most 16 bytes in the format; wider size nibbles are refused.
        if (low > 7) return nullptr;
        uint64_t size = uint64_t{1} << low;
        if (!HasBytes(r, o + 1, size)) return nullptr;
        return CFNumberFromUnsigned(static_cast<uint32_t>(BplistReadInt(r.bytes + o + 1, size)));
    }
    case 0x2: {
        if (marker != 0x22 && marker != 0x23) return nullptr;
        size_t size = marker == 0x22 ? 4 : 8;
        if (!HasBytes(r, o + 1, size)) return nullptr;
        return CFNumberFromReal(ReadBigEndianReal(r.bytes + o + 1, size));
    }
    case 0x3:
        return marker == 0x33 ? Placeholder("<Unhandled Date>") : nullptr;
    case 0x4:
    case 0x5: {
        uint64_t count, content;
        if (!ReadCount(r, o, &count, &content) || !HasBytes(r, content, count)) return nullptr;
        if (marker >> 4 == 0x4)
            return CFDataFromBytes(r.bytes + content, static_cast<uint32_t>(count));
        if (count == 0) return CFStringFromBytes("", 0);
        return CFStringFromBytes(reinterpret_cast<const char *>(r.bytes + content),
                                 static_cast<int32_t>(count));
    }
    case 0x6:
        return Placeholder("<Unhandled UTF16>");
    case 0x8:
        return Placeholder("<Unhandled UID>");
    case 0xA:
    case 0xC:
        return ReadArray(r, o);
    case 0xD:
        return ReadDictionary(r, o);
    default:
        return nullptr;
    }
}

} // namespace

uint64_t BplistReadInt(const uint8_t *bytes, size_t n) {
    uint64_t value = 0;
    for (size_t i = 0; i < n; i++)
        value = value << 8 | bytes[i];
    return value;
}

CFValue *BplistParse(const uint8_t *bytes, size_t length) {
    if (!bytes || length < 40 || length > INT32_MAX) return nullptr;
    if (memcmp(bytes, "bplist", 6) != 0 || bytes[6] != '0') return nullptr;
    const uint8_t *t = bytes + length - 32;
    BplistReader r{};
    r.bytes = bytes;
    r.length = length;
    r.trailer.offsetSize = t[6];
    r.trailer.referenceSize = t[7];
    r.trailer.objectCount = BplistReadInt(t + 8, 8);
    r.trailer.topObject = BplistReadInt(t + 16, 8);
    r.trailer.offsetTableStart = BplistReadInt(t + 24, 8);
    return ReadObject(r, 8);
}
