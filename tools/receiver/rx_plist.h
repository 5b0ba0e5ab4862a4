// The receiver's own property-list code: an XML writer for the screen
// description and a small binary property-list reader for the stream set-up body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How "overscanned" is written in the screen description.
enum OverscanForm { kOverscanBool, kOverscanString, kOverscanInteger };

struct ScreenInfo {
    int width;
    int height;
    bool overscanned;
    OverscanForm overscanForm;
    double refreshRate; // seconds per refresh, written as a real
    std::string version;
};

// The XML property list answered to GET /stream.xml, keys in sorted order.
std::string ScreenInfoXml(const ScreenInfo &info);

// A value read from a binary property list.
struct BpValue {
    enum Kind { kNull, kBool, kInteger, kReal, kString, kData, kArray, kDict, kOther } kind = kNull;
    bool asciiString = false;      // kString: 0x5X (ASCII) rather than 0x6X (UTF-16)
    int64_t integer = 0;           // kInteger, kBool
    double real = 0;               // kReal
    std::string text;              // kString (UTF-16 kept as UTF-8 for BMP text), kData bytes
    std::vector<BpValue> items;    // kArray
    std::vector<std::string> keys; // kDict, in order; values holds the matching value
    std::vector<BpValue> values;
};

struct BpLayout {
    int offsetSize;
    int refSize;
    uint64_t objectCount;
    uint64_t rootObject;
    uint64_t offsetTableOffset;
    std::vector<uint64_t> offsets; // per object
    std::vector<uint8_t> markers;  // first byte of each object
};

// Parses a whole "bplist00" document. Bounded: at most 65536 objects, nesting
// depth 32, 100000 visited values. On failure *error says why.
[[nodiscard]] bool BplistParse(const uint8_t *data, size_t length, BpValue *root, BpLayout *layout,
                               std::string *error);

// Checks the POST /stream body against the set-up list the sender must post:
// 273 bytes, 1-byte offsets and references, 28 objects, offset table at 213, and a
// root dictionary of exactly the expected six string, array and string values.
// Returns true when no problem was found; problems lists each one found.
bool StreamSetupCheck(const uint8_t *data, size_t length, std::vector<std::string> *problems);
