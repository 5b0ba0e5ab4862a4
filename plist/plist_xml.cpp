// The XML property-list writer and reader, and the one entry that picks a reader.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log.h"
#include "plist/base64.h"
#include "plist/cfvalue_internal.h"
#include "plist/plist.h"

// ---- Writing ----

static void Append(CFValue *document, const char *text) {
    CFStringAppendText(document, text, 0);
}

// Text content with the three characters that would end or garble it written as
// entities, so that every string reads back as it was stored.
static void AppendEscaped(CFValue *document, const char *text) {
    const char *run = text;
    for (const char *p = text;; p++) {
        const char *entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '\0':
            if (p > run) CFStringAppendText(document, run, static_cast<uint32_t>(p - run));
            return;
        default:
            continue;
        }
        if (p > run) CFStringAppendText(document, run, static_cast<uint32_t>(p - run));
        Append(document, entity);
        run = p + 1;
    }
}

static void AppendNumber(CFValue *document, const CFValue *value) {
    char buffer[400];
    switch (value->number.subtype) {
    case kCFNumberUnsigned:
        snprintf(buffer, sizeof buffer, "<integer>%u</integer>", value->number.u32);
        break;
    case kCFNumberSigned:
        snprintf(buffer, sizeof buffer, "<integer>%i</integer>", value->number.i32);
        break;
    case kCFNumberReal:
        snprintf(buffer, sizeof buffer, "<real>%f</real>", value->number.real);
        break;
    default:
        snprintf(buffer, sizeof buffer, "%s", value->number.u32 ? "<true/>" : "<false/>");
        break;
    }
    Append(document, buffer);
}

static void Indent(CFValue *document, uint32_t depth) {
    static const char tabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    while (depth > 0) {
        uint32_t n = depth < 16 ? depth : 16;
        CFStringAppendText(document, tabs, n);
        depth -= n;
    }
}

void PlistWriteXmlElement(CFValue *document, const CFValue *value, uint32_t depth, bool keyMode) {
    if (!CFValueIsKind(document, kCFString)) return;
    Indent(document, depth);
    switch (CFValueKind(value)) {
    case kCFNumber:
        AppendNumber(document, value);
        break;
    case kCFString:
        Append(document, keyMode ? "<key>" : "<string>");
        AppendEscaped(document, value->string.text);
        Append(document, keyMode ? "</key>" : "</string>");
        break;
    case kCFData: {
        Append(document, "<data>");
        size_t n = 0;
        char *text = Base64Encode(value->data.bytes, value->data.length, &n);
        if (!text) CFOutOfMemory(SIZE_MAX);
        if (n) Append(document, text);
        free(text);
        Append(document, "</data>");
        break;
    }
    case kCFArray:
        Append(document, "<array>\n");
        for (uint32_t i = 0; i < value->array.count; i++) {
            PlistWriteXmlElement(document, value->array.elements[i], depth + 1, false);
            Append(document, "\n");
        }
        Indent(document, depth);
        Append(document, "</array>");
        break;
    case kCFDictionary:
        Append(document, "<dict>\n");
        for (uint32_t i = 0; i < value->dictionary.count; i++) {
            PlistWriteXmlElement(document, value->dictionary.keys[i], depth + 1, true);
            Append(document, "\n");
            PlistWriteXmlElement(document, value->dictionary.values[i], depth + 1, false);
            Append(document, "\n");
        }
        Indent(document, depth);
        Append(document, "</dict>");
        break;
    default:
        break;
    }
    if (depth == 0) Append(document, "\n");
}

CFValue *PlistToXML(const CFValue *root) {
    CFValue *document = CFStringFromBytes("", 0);
    Append(document, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    Append(document, "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n");
    Append(document, "<plist version=\"1.0\">\n");
    PlistWriteXmlElement(document, root, 0, false);
    Append(document, "</plist>\n");
    return document;
}

// ---- Reading ----

namespace {

using XmlReader = PlistTextReader;

enum ContentKind { kNoContent, kNumberContent, kStringContent, kDataContent };

bool TagBegins(const char *tag, size_t tagLength, const char *name) {
    size_t n = strlen(name);
    return tagLength >= n && memcmp(tag, name, n) == 0;
}

// Number text longer than this is not a number anyone writes; the rest is ignored.
constexpr size_t kNumberTextLimit = 512;

double ReadDouble(const char *text, size_t length) {
    char buffer[kNumberTextLimit + 1];
    size_t n = length < kNumberTextLimit ? length : kNumberTextLimit;
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    double value = 0.0;
    // Text that is not a number reads as 0.
    if (sscanf(buffer, "%lf", &value) != 1) value = 0.0;
    return value;
}

// Truncates toward zero to 64 bits (saturating; NaN gives 0) and keeps the low 32 bits.
uint32_t LowBitsOfTruncation(double value) {
    if (value != value) return 0;
    int64_t whole;
    if (value >= 9223372036854775807.0)
        whole = INT64_MAX;
    else if (value <= -9223372036854775808.0)
        whole = INT64_MIN;
    else
        whole = static_cast<int64_t>(value);
    return static_cast<uint32_t>(static_cast<uint64_t>(whole));
}

// Decodes the entity starting at text[0] == '&'. Returns the bytes it spans (0 when it is
// not a well-formed entity, which is then kept as written).
size_t DecodeEntity(const char *text, size_t length, std::string &out) {
    static const struct {
        const char *name;
        char value;
    } named[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    for (const auto &e : named) {
        size_t n = strlen(e.name);
        if (length >= 1 + n && memcmp(text + 1, e.name, n) == 0) {
            out += e.value;
            return 1 + n;
        }
    }
    if (length < 4 || text[1] != '#') return 0;
    size_t i = 2;
    bool hex = text[2] == 'x';
    if (hex) i++;
    uint32_t cp = 0;
    size_t digits = 0;
    for (; i < length && text[i] != ';'; i++, digits++) {
        char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return 0;
        cp = cp * (hex ? 16 : 10) + d;
        if (cp > 0x10FFFF) return 0;
    }
    if (i >= length || digits == 0) return 0;
    // Characters that UTF-8 cannot carry, and NUL, which would cut the text.
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    CFAppendUtf8(out, cp);
    return i + 1;
}

CFValue *MakeString(const char *text, size_t length) {
    if (length == 0) return CFStringFromBytes("", 0);
    return CFStringFromBytes(text, static_cast<int32_t>(length));
}

CFValue *StringFromContent(const char *content, size_t length) {
    if (!memchr(content, '&', length)) return MakeString(content, length);
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length;) {
        if (content[i] == '&') {
            size_t used = DecodeEntity(content + i, length - i, text);
            if (used) {
                i += used;
                continue;
            }
        }
        text += content[i++];
    }
    return MakeString(text.data(), text.size());
}

CFValue *DataFromContent(const char *content, size_t length) {
    std::string compact;
    compact.reserve(length);
    for (size_t i = 0; i < length; i++) {
        char c = content[i];
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') compact += c;
    }
    size_t n = 0;
    uint8_t *bytes = Base64Decode(compact.data(), compact.size(), &n);
    CFValue *data = CFDataFromBytes(bytes, static_cast<uint32_t>(n));
    free(bytes);
    return data;
}

CFValue *ReadElement(XmlReader *r, const char **cursor, size_t *remaining);

CFValue *ReadElement(XmlReader *r, const char **cursor, size_t *remaining) {
    if (r->failed) return nullptr;
    int state = 0;
    const char *tag = nullptr;
    size_t tagLength = 0;
    const char *content = nullptr;
    size_t contentLength = 0;
    ContentKind kind = kNoContent;
    bool realForm = false;
    CFValue *built = nullptr;
    auto advance = [&] {
        (*cursor)++;
        (*remaining)--;
    };
    while (*remaining) {
        char c = **cursor;
        switch (state) {
        case 0:
            if (c == '<') {
                tag = *cursor + 1;
                tagLength = 0;
                state = 1;
            }
            advance();
            break;
        case 1:
            if (c != '>') {
                tagLength++;
                advance();
                break;
            }
            if (TagBegins(tag, tagLength, "dict")) {
                advance();
                return PlistReadDictionaryItems(r, ReadElement, cursor, remaining);
            }
            if (TagBegins(tag, tagLength, "array")) {
                advance();
                return PlistReadArrayItems(r, ReadElement, cursor, remaining);
            }
            if (TagBegins(tag, tagLength, "key") || TagBegins(tag, tagLength, "string")) {
                kind = kStringContent;
            } else if (TagBegins(tag, tagLength, "integer")) {
                kind = kNumberContent;
                realForm = false;
            } else if (TagBegins(tag, tagLength, "real")) {
                kind = kNumberContent;
                realForm = true;
            } else if (TagBegins(tag, tagLength, "true") || TagBegins(tag, tagLength, "false")) {
                bool truth = tag[0] == 't';
                // The short form ends here; the cursor stays on its ">".
                if (tagLength == (truth ? 5u : 6u) && tag[tagLength - 1] == '/')
                    return CFNumberFromBool(truth);
                built = CFNumberFromBool(truth);
                advance();
                state = 3;
                break;
            } else if (TagBegins(tag, tagLength, "data")) {
                kind = kDataContent;
            } else if (tagLength > 0 && tag[0] == '/') {
                advance();
                return nullptr;
            } else {
                // Declarations, the plist tag and unknown elements are skipped.
                advance();
                state = 0;
                break;
            }
            advance();
            content = *cursor;
            contentLength = 0;
            state = 2;
            break;
        case 2:
            if (c != '<') {
                contentLength++;
                advance();
                break;
            }
            if (kind == kNumberContent) {
                double number = ReadDouble(content, contentLength);
                built = realForm ? CFNumberFromReal(number)
                                 : CFNumberFromUnsigned(LowBitsOfTruncation(number));
            } else if (kind == kStringContent) {
                built = StringFromContent(content, contentLength);
            } else {
                built = DataFromContent(content, contentLength);
            }
            advance();
            state = 3;
            break;
        default:
            // The closing tag's name is not compared with the opening one.
            advance();
            if (c == '>') return built;
            break;
        }
    }
    CFValueRelease(built);
    *remaining = 0;
    return nullptr;
}

} // namespace

CFValue *PlistReadXmlElement(const char **cursor, size_t *remaining) {
    if (!cursor || !*cursor || !remaining) return nullptr;
    XmlReader reader{0, false};
    return ReadElement(&reader, cursor, remaining);
}

CFValue *PlistParseBytes(const void *bytes, size_t length) {
    if (!bytes || length == 0) return nullptr;
    // Lengths are 32-bit throughout the value model.
    if (length > INT32_MAX) {
        DebugLog(2, "Property list of %zu bytes is too large\n", length);
        return nullptr;
    }
    const char *text = static_cast<const char *>(bytes);
    if (length > 5 && memcmp(text, "bplist", 6) == 0)
        return BplistParse(static_cast<const uint8_t *>(bytes), length);
    const char *cursor = text;
    size_t remaining = length;
    if (length > 1 && (text[0] == '{' || text[0] == '[' || text[0] == '"'))
        return PlistReadJsonValue(&cursor, &remaining);
    return PlistReadXmlElement(&cursor, &remaining);
}

CFValue *PlistParse(const CFValue *input) {
    if (CFValueIsKind(input, kCFString))
        return PlistParseBytes(input->string.text, input->string.length);
    if (CFValueIsKind(input, kCFData))
        return PlistParseBytes(input->data.bytes, input->data.length);
    return nullptr;
}
