// Helpers for the property-list tests: scoped references, parsing from text, dumps, and
// a builder for binary property lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plist/cfvalue.h"
#include "plist/plist.h"

struct Owned {
    CFValue *v;
    explicit Owned(CFValue *value = nullptr) : v(value) {}
    ~Owned() { CFValueRelease(v); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    CFValue *get() const { return v; }
};

inline CFValue *ParseText(const std::string &text) {
    return PlistParseBytes(text.data(), text.size());
}

inline std::string Dump(const CFValue *value) {
    std::string out;
    CFValueDescribeTo(
        value, 0,
        [](void *context, const char *text, size_t length) {
            static_cast<std::string *>(context)->append(text, length);
        },
        &out);
    return out;
}

// Lays out a binary property list: objects in order from offset 8, then the offset
// table, then the trailer. Entries of offsets may be overridden before Build.
struct BplistBuilder {
    std::vector<std::vector<uint8_t>> objects;
    uint8_t offsetSize = 1;
    uint8_t referenceSize = 1;
    // Overrides for hostile trailers; UINT64_MAX keeps the computed value.
    uint64_t objectCountOverride = UINT64_MAX;
    uint64_t tableStartOverride = UINT64_MAX;

    size_t Add(std::vector<uint8_t> object) {
        objects.push_back(std::move(object));
        return objects.size() - 1;
    }

    // A reference of referenceSize bytes, big-endian.
    void PutRef(std::vector<uint8_t> &out, uint64_t index) const {
        for (int i = referenceSize - 1; i >= 0; i--)
            out.push_back(i >= 8 ? 0 : static_cast<uint8_t>(index >> (8 * i)));
    }

    std::vector<uint8_t> Container(uint8_t type, const std::vector<uint64_t> &refs) const {
        std::vector<uint8_t> out;
        if (refs.size() < 15) {
            out.push_back(static_cast<uint8_t>(type | refs.size()));
        } else {
            out.push_back(type | 0x0F);
            out.push_back(0x13);
            for (int i = 7; i >= 0; i--)
                out.push_back(static_cast<uint8_t>(refs.size() >> (8 * i)));
        }
        for (uint64_t r : refs)
            PutRef(out, r);
        return out;
    }

    std::vector<uint8_t> Dictionary(const std::vector<uint64_t> &keys,
                                    const std::vector<uint64_t> &values) const {
        std::vector<uint64_t> refs = keys;
        refs.insert(refs.end(), values.begin(), values.end());
        std::vector<uint8_t> out = Container(0xD0, refs);
        out[0] = static_cast<uint8_t>(0xD0 | keys.size());
        return out;
    }

    static std::vector<uint8_t> Ascii(const std::string &text) {
        std::vector<uint8_t> out;
        if (text.size() < 15) {
            out.push_back(static_cast<uint8_t>(0x50 | text.size()));
        } else {
            out.push_back(0x5F);
            out.push_back(0x12);
            for (int i = 3; i >= 0; i--)
                out.push_back(static_cast<uint8_t>(text.size() >> (8 * i)));
        }
        out.insert(out.end(), text.begin(), text.end());
        return out;
    }

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<uint64_t> offsets;
        for (const auto &o : objects) {
            offsets.push_back(out.size());
            out.insert(out.end(), o.begin(), o.end());
        }
        uint64_t tableStart = out.size();
        for (uint64_t off : offsets)
            for (int i = offsetSize - 1; i >= 0; i--)
                out.push_back(static_cast<uint8_t>(off >> (8 * i)));
        uint64_t count = objectCountOverride != UINT64_MAX ? objectCountOverride : objects.size();
        uint64_t start = tableStartOverride != UINT64_MAX ? tableStartOverride : tableStart;
        for (int i = 0; i < 6; i++)
            out.push_back(0);
        out.push_back(offsetSize);
        out.push_back(referenceSize);
        for (uint64_t field : {count, uint64_t{0}, start})
            for (int i = 7; i >= 0; i--)
                out.push_back(static_cast<uint8_t>(field >> (8 * i)));
        return out;
    }
};

inline CFValue *ParseBytes(const std::vector<uint8_t> &bytes) {
    return PlistParseBytes(bytes.data(), bytes.size());
}
