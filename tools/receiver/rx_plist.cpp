#include "tools/receiver/rx_plist.h"

#include <cmath>
#include <cstdio>
#include <cstring>

static std::string XmlEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

std::string ScreenInfoXml(const ScreenInfo &info) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    xml += "\t<key>height</key>\n\t<integer>" + std::to_string(info.height) + "</integer>\n";
    xml += "\t<key>overscanned</key>\n";
    switch (info.overscanForm) {
    case kOverscanBool:
        xml += info.overscanned ? "\t<true/>\n" : "\t<false/>\n";
        break;
    case kOverscanString:
        xml += info.overscanned ? "\t<string>true</string>\n" : "\t<string>false</string>\n";
        break;
    case kOverscanInteger:
        xml += info.overscanned ? "\t<integer>1</integer>\n" : "\t<integer>0</integer>\n";
        break;
    }
    char real[64];
    snprintf(real, sizeof real, "%.17g", info.refreshRate);
    xml += "\t<key>refreshRate</key>\n\t<real>" + std::string(real) + "</real>\n";
    xml += "\t<key>version</key>\n\t<string>" + XmlEscape(info.version) + "</string>\n";
    xml += "\t<key>width</key>\n\t<integer>" + std::to_string(info.width) + "</integer>\n";
    xml += "</dict>\n</plist>\n";
    return xml;
}

namespace {

struct Reader {
    const uint8_t *data;
    size_t length;
    BpLayout *layout;
    std::string *error;
    size_t visited;
};

bool Fail(Reader &reader, const std::string &text) {
    if (reader.error->empty()) *reader.error = text;
    return false;
}

uint64_t ReadBigEndian(const uint8_t *bytes, int size) {
    uint64_t value = 0;
    for (int i = 0; i < size; i++)
        value = (value << 8) | bytes[i];
    return value;
}

// Reads the element count of an object whose low nibble is 0xF: an integer object follows.
bool ReadCount(Reader &reader, size_t *position, uint8_t marker, uint64_t *count) {
    uint64_t low = marker & 0x0f;
    if (low != 0x0f) {
        *count = low;
        return true;
    }
    if (*position >= reader.length) return Fail(reader, "count runs past the end");
    uint8_t intMarker = reader.data[(*position)++];
    if ((intMarker & 0xf0) != 0x10) return Fail(reader, "count is not an integer object");
    int size = 1 << (intMarker & 0x0f);
    if (size > 8 || *position + size > reader.length) return Fail(reader, "bad count integer");
    *count = ReadBigEndian(reader.data + *position, size);
    *position += size;
    return true;
}

bool ReadObject(Reader &reader, uint64_t index, int depth, BpValue *out);

bool ReadRef(Reader &reader, size_t position, uint64_t *ref) {
    int size = reader.layout->refSize;
    if (position + size > reader.layout->offsetTableOffset)
        return Fail(reader, "object reference runs into the offset table");
    *ref = ReadBigEndian(reader.data + position, size);
    return true;
}

bool ReadObject(Reader &reader, uint64_t index, int depth, BpValue *out) {
    if (depth > 32) return Fail(reader, "nesting deeper than 32");
    if (++reader.visited > 100000) return Fail(reader, "too many values");
    if (index >= reader.layout->objectCount)
        return Fail(reader, "reference to object " + std::to_string(index) + " out of range");
    size_t position = reader.layout->offsets[index];
    uint8_t marker = reader.data[position++];
    size_t end = reader.layout->offsetTableOffset;
    switch (marker >> 4) {
    case 0x0:
        if (marker == 0x08 || marker == 0x09) {
            out->kind = BpValue::kBool;
            out->integer = marker == 0x09;
        } else {
            out->kind = BpValue::kNull;
        }
        return true;
    case 0x1: {
        int size = 1 << (marker & 0x0f);
        if (size > 8 || position + size > end) return Fail(reader, "bad integer object");
        out->kind = BpValue::kInteger;
        out->integer = (int64_t)ReadBigEndian(reader.data + position, size);
        return true;
    }
    case 0x2: {
        int size = 1 << (marker & 0x0f);
        if ((size != 4 && size != 8) || position + size > end) return Fail(reader, "bad real");
        uint64_t bits = ReadBigEndian(reader.data + position, size);
        out->kind = BpValue::kReal;
        if (size == 4) {
            float value;
            uint32_t bits32 = (uint32_t)bits;
            memcpy(&value, &bits32, 4);
            out->real = value;
        } else {
            memcpy(&out->real, &bits, 8);
        }
        return true;
    }
    case 0x4:
    case 0x5:
    case 0x6: {
        uint64_t count;
        if (!ReadCount(reader, &position, marker, &count)) return false;
        uint64_t bytes = (marker >> 4) == 0x6 ? count * 2 : count;
        if (count > end || position + bytes > end)
            return Fail(reader, "string or data runs past its end");
        if ((marker >> 4) == 0x6) {
            out->kind = BpValue::kString;
            for (uint64_t i = 0; i < count; i++) {
                unsigned unit = ReadBigEndian(reader.data + position + 2 * i, 2);
                if (unit < 0x80) {
                    out->text += (char)unit;
                } else if (unit < 0x800) {
                    out->text += (char)(0xc0 | (unit >> 6));
                    out->text += (char)(0x80 | (unit & 0x3f));
                } else {
                    out->text += (char)(0xe0 | (unit >> 12));
                    out->text += (char)(0x80 | ((unit >> 6) & 0x3f));
                    out->text += (char)(0x80 | (unit & 0x3f));
                }
            }
        } else {
            out->kind = (marker >> 4) == 0x4 ? BpValue::kData : BpValue::kString;
            out->asciiString = (marker >> 4) == 0x5;
            out->text.assign((const char *)reader.data + position, bytes);
        }
        return true;
    }
    case 0xA: {
        uint64_t count;
        if (!ReadCount(reader, &position, marker, &count)) return false;
        if (count > end || position + count * reader.layout->refSize > end)
            return Fail(reader, "array references run past the object area");
        out->kind = BpValue::kArray;
        for (uint64_t i = 0; i < count; i++) {
            uint64_t ref;
            if (!ReadRef(reader, position + i * reader.layout->refSize, &ref)) return false;
            BpValue item;
            if (!ReadObject(reader, ref, depth + 1, &item)) return false;
            out->items.push_back(std::move(item));
        }
        return true;
    }
    case 0xD: {
        uint64_t count;
        if (!ReadCount(reader, &position, marker, &count)) return false;
        if (count > end || position + 2 * count * reader.layout->refSize > end)
            return Fail(reader, "dictionary references run past the object area");
        out->kind = BpValue::kDict;
        for (uint64_t i = 0; i < count; i++) {
            uint64_t keyRef, valueRef;
            if (!ReadRef(reader, position + i * reader.layout->refSize, &keyRef) ||
                !ReadRef(reader, position + (count + i) * reader.layout->refSize, &valueRef))
                return false;
            BpValue key, value;
            if (!ReadObject(reader, keyRef, depth + 1, &key)) return false;
            if (key.kind != BpValue::kString) return Fail(reader, "dictionary key is not a string");
            if (!ReadObject(reader, valueRef, depth + 1, &value)) return false;
            out->keys.push_back(key.text);
            out->values.push_back(std::move(value));
        }
        return true;
    }
    default:
        out->kind = BpValue::kOther;
        return Fail(reader, "unsupported object marker " + std::to_string(marker));
    }
}

} // namespace

bool BplistParse(const uint8_t *data, size_t length, BpValue *root, BpLayout *layout,
                 std::string *error) {
    error->clear();
    if (length < 8 + 1 + 32 || memcmp(data, "bplist00", 8) != 0) {
        *error = "not a bplist00 document";
        return false;
    }
    const uint8_t *trailer = data + length - 32;
    layout->offsetSize = trailer[6];
    layout->refSize = trailer[7];
    layout->objectCount = ReadBigEndian(trailer + 8, 8);
    layout->rootObject = ReadBigEndian(trailer + 16, 8);
    layout->offsetTableOffset = ReadBigEndian(trailer + 24, 8);
    layout->offsets.clear();
    layout->markers.clear();
    if (layout->offsetSize < 1 || layout->offsetSize > 8 || layout->refSize < 1 ||
        layout->refSize > 8) {
        *error = "offset or reference size outside 1 to 8";
        return false;
    }
    if (layout->objectCount == 0 || layout->objectCount > 65536) {
        *error = "object count " + std::to_string(layout->objectCount) + " outside 1 to 65536";
        return false;
    }
    // Bound the table start before adding to it: a hostile offset near 2^64 would wrap.
    if (layout->offsetTableOffset < 9 || layout->offsetTableOffset > length - 32) {
        *error = "offset table outside the document";
        return false;
    }
    uint64_t tableEnd = layout->offsetTableOffset + layout->objectCount * layout->offsetSize;
    if (tableEnd > length - 32) {
        *error = "offset table outside the document";
        return false;
    }
    for (uint64_t i = 0; i < layout->objectCount; i++) {
        uint64_t offset = ReadBigEndian(data + layout->offsetTableOffset + i * layout->offsetSize,
                                        layout->offsetSize);
        if (offset < 8 || offset >= layout->offsetTableOffset) {
            *error = "object " + std::to_string(i) + " offset outside the object area";
            return false;
        }
        layout->offsets.push_back(offset);
        layout->markers.push_back(data[offset]);
    }
    Reader reader{data, length, layout, error, 0};
    *root = BpValue();
    return ReadObject(reader, layout->rootObject, 0, root);
}

static void ExpectString(const BpValue *value, const char *key, const char *expected,
                         std::vector<std::string> *problems) {
    if (!value) {
        problems->push_back(std::string("key \"") + key + "\" missing");
    } else if (value->kind != BpValue::kString || !value->asciiString) {
        problems->push_back(std::string("\"") + key + "\" is not an ASCII string");
    } else if (value->text != expected) {
        problems->push_back(std::string("\"") + key + "\" is \"" + value->text.substr(0, 64) +
                            "\", expected \"" + expected + "\"");
    }
}

static void ExpectStrings(const BpValue *value, const char *key,
                          const std::vector<const char *> &expected,
                          std::vector<std::string> *problems) {
    if (!value) {
        problems->push_back(std::string("key \"") + key + "\" missing");
        return;
    }
    if (value->kind != BpValue::kArray) {
        problems->push_back(std::string("\"") + key + "\" is not an array");
        return;
    }
    if (value->items.size() != expected.size()) {
        problems->push_back(std::string("\"") + key + "\" has " +
                            std::to_string(value->items.size()) + " items, expected " +
                            std::to_string(expected.size()));
        return;
    }
    for (size_t i = 0; i < expected.size(); i++) {
        std::string name = std::string(key) + "[" + std::to_string(i) + "]";
        ExpectString(&value->items[i], name.c_str(), expected[i], problems);
    }
}

bool StreamSetupCheck(const uint8_t *data, size_t length, std::vector<std::string> *problems) {
    problems->clear();
    if (length != 273)
        problems->push_back("body is " + std::to_string(length) + " bytes, expected 273");
    BpValue root;
    BpLayout layout;
    std::string error;
    if (!BplistParse(data, length, &root, &layout, &error)) {
        problems->push_back("binary property list unreadable: " + error);
        return false;
    }
    if (layout.offsetSize != 1 || layout.refSize != 1)
        problems->push_back("offset size " + std::to_string(layout.offsetSize) +
                            " and reference size " + std::to_string(layout.refSize) +
                            ", expected 1 and 1");
    if (layout.objectCount != 28)
        problems->push_back(std::to_string(layout.objectCount) + " objects, expected 28");
    if (layout.rootObject != 0) problems->push_back("root object is not object 0");
    if (layout.offsetTableOffset != 213)
        problems->push_back("offset table at " + std::to_string(layout.offsetTableOffset) +
                            ", expected 213");
    if (root.kind != BpValue::kDict) {
        problems->push_back("root is not a dictionary");
        return false;
    }
    if (root.keys.size() != 6)
        problems->push_back("root dictionary has " + std::to_string(root.keys.size()) +
                            " entries, expected 6");
    auto find = [&](const char *key) -> const BpValue * {
        for (size_t i = 0; i < root.keys.size(); i++)
            if (root.keys[i] == key) return &root.values[i];
        return nullptr;
    };
    ExpectString(find("latencyMs"), "latencyMs", "90", problems);
    ExpectString(find("deviceID"), "deviceID", "0x60C54748E222", problems);
    ExpectStrings(find("fpsInfo"), "fpsInfo",
                  {"SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF", "Sent"}, problems);
    ExpectStrings(find("timestampInfo"), "timestampInfo",
                  {"SubSu", "BePxT", "AfPxT", "BeFEn", "EmEnc", "QueFr", "SndFr"}, problems);
    ExpectString(find("sessionId"), "sessionId", "691484636", problems);
    ExpectString(find("version"), "version", "120.2", problems);
    return problems->empty();
}
