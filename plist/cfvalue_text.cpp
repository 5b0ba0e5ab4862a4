// CFValue text and file helpers: formatted and UTF-16 strings, whole files, the
// constant-string table, sorting, the description dump and the dictionary builder
// used by the readers.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "plist/cfvalue.h"
#include "plist/cfvalue_internal.h"

// ---- Strings from formats and UTF-16 ----

CFValue *CFStringFromFormat(const char *format, ...) {
    if (!format) return nullptr;
    char buffer[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return nullptr;
    size_t length = strnlen(buffer, sizeof buffer - 1);
    // Text that leaves this program ends its lines in CR LF.
    if (length > 1 && length < 4094 && buffer[length - 1] == '\n' && buffer[length - 2] != '\r') {
        buffer[length - 1] = '\r';
        buffer[length] = '\n';
        buffer[length + 1] = '\0';
        length++;
    }
    if (length == 0) return CFStringFromBytes("", 0);
    return CFStringFromBytes(buffer, static_cast<int32_t>(length));
}

void CFAppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

static std::string WideToUtf8(const char16_t *text) {
    std::string out;
    for (size_t i = 0; text[i]; i++) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            uint32_t low = text[++i];
            CFAppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            CFAppendUtf8(out, 0xFFFD);
        } else {
            CFAppendUtf8(out, unit);
        }
    }
    return out;
}

CFValue *CFStringFromWide(const char16_t *text) {
    if (!text) return nullptr;
    std::string utf8 = WideToUtf8(text);
    if (utf8.size() > INT32_MAX) return nullptr;
    if (utf8.empty()) return CFStringFromBytes("", 0);
    return CFStringFromBytes(utf8.data(), static_cast<int32_t>(utf8.size()));
}

CFValue *CFStringAsciiFromWide(const char16_t *text) {
    if (!text) return nullptr;
    std::string utf8 = WideToUtf8(text);
    std::string ascii;
    for (char c : utf8)
        if (static_cast<unsigned char>(c) < 0x80) ascii += c;
    if (ascii.empty() || ascii.size() > INT32_MAX) return CFStringFromBytes("", 0);
    return CFStringFromBytes(ascii.data(), static_cast<int32_t>(ascii.size()));
}

// ---- Files ----

CFValue *CFDataFromFile(const char *path) {
    if (!path) return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > INT32_MAX) {
        close(fd);
        return nullptr;
    }
    CFValue *data = CFDataFromBytes(nullptr, 0);
    data->data.bytes = static_cast<uint8_t *>(CFReallocate(data->data.bytes, st.st_size));
    data->data.capacity = static_cast<uint32_t>(st.st_size);
    char chunk[2048];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // A file that grows while it is read still ends up whole.
        CFDataAppendBytes(data, chunk, static_cast<uint32_t>(n));
        if (data->data.length > INT32_MAX) break;
    }
    close(fd);
    return data;
}

CFValue *CFDataFromArtworkFile() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return nullptr;
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (!slash) return nullptr;
    static const char name[] = "atv-ov-icon1024.png";
    if (static_cast<size_t>(slash + 1 - path) + sizeof name > sizeof path) return nullptr;
    memcpy(slash + 1, name, sizeof name);
    return CFDataFromFile(path);
}

// ---- Constant strings ----

namespace {
std::mutex constantLock;
CFValue *constantTable; // guarded by constantLock; never freed
} // namespace

CFValue *CFStringConstant(const char *text) {
    if (!text) return nullptr;
    std::lock_guard<std::mutex> hold(constantLock);
    if (!constantTable) {
        constantTable = CFDictionaryNew(20);
        constantTable->refCount = 0;
    }
    for (uint32_t i = 0; i < constantTable->dictionary.count; i++) {
        CFValue *key = constantTable->dictionary.keys[i];
        if (strcmp(key->string.text, text) == 0) return constantTable->dictionary.values[i];
    }
    CFValue *s = CFStringFromBytes(text, 0);
    // Count 0: every thread may retain and release it without touching memory.
    s->refCount = 0;
    CFDictionaryAppendEntry(constantTable, s, s);
    return s;
}

// ---- Sorting ----

// ASCII case-folded comparison of two texts.
static int CompareFolded(const char *a, const char *b) {
    for (;; a++, b++) {
        int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

static const CFValue *SortText(const CFValue *element, const CFValue *key) {
    if (!key) return element;
    return CFDictionaryFind(element, key);
}

static bool Greater(const CFValue *element, const CFValue *pivot, const CFValue *key) {
    const CFValue *a = SortText(element, key), *b = SortText(pivot, key);
    if (!CFValueIsKind(a, kCFString) || !CFValueIsKind(b, kCFString)) return false;
    return CompareFolded(a->string.text, b->string.text) > 0;
}

static void Swap(CFValue **e, int64_t i, int64_t j) {
    CFValue *t = e[i];
    e[i] = e[j];
    e[j] = t;
}

static void QuickSort(CFValue **e, int64_t first, int64_t last, const CFValue *key) {
    while (first < last) {
        Swap(e, first, (first + last) / 2);
        const CFValue *pivot = e[first];
        int64_t i = first + 1, j = last;
        while (i <= j) {
            while (i <= last && !Greater(e[i], pivot, key))
                i++;
            while (j > first && Greater(e[j], pivot, key))
                j--;
            if (i < j) Swap(e, i, j);
        }
        Swap(e, first, j);
        // Recurse into the smaller side so the stack stays logarithmic.
        if (j - first < last - j) {
            QuickSort(e, first, j - 1, key);
            first = j + 1;
        } else {
            QuickSort(e, j + 1, last, key);
            last = j - 1;
        }
    }
}

static void SortSpan(CFValue *array, uint32_t first, uint32_t last, const CFValue *key) {
    if (!CFValueIsKind(array, kCFArray) || array->array.count == 0) return;
    if (last >= array->array.count) last = array->array.count - 1;
    if (first >= last) return;
    QuickSort(array->array.elements, first, last, key);
}

void CFArraySortByText(CFValue *array, uint32_t first, uint32_t last) {
    SortSpan(array, first, last, nullptr);
}

void CFArraySortByKey(CFValue *array, uint32_t first, uint32_t last, const CFValue *key) {
    // Without a key every element would compare as itself, not as its entry.
    if (!key) return;
    SortSpan(array, first, last, key);
}

// ---- Description dump ----

namespace {

struct Dump {
    CFDescribeWriteFn write;
    void *context;

    void Text(const char *text, size_t length) const { write(context, text, length); }
    void Text(const char *text) const { write(context, text, strlen(text)); }
    void Format(const char *format, ...) const __attribute__((format(printf, 2, 3))) {
        char buffer[512];
        va_list args;
        va_start(args, format);
        int n = vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        if (n < 0) return;
        Text(buffer, strnlen(buffer, sizeof buffer - 1));
    }
    void Indent(uint32_t depth) const {
        for (uint32_t i = 0; i < depth; i++)
            Text("  ", 2);
    }
};

void DescribeValue(const Dump &out, const CFValue *value, uint32_t depth) {
    out.Indent(depth);
    if (value) {
        switch (value->kind) {
        case kCFNumber:
            switch (value->number.subtype) {
            case kCFNumberUnsigned:
                out.Format("%u", value->number.u32);
                break;
            case kCFNumberSigned:
                out.Format("%i", value->number.i32);
                break;
            case kCFNumberReal: {
                // %f of a large double needs more than the small buffer.
                char buffer[400];
                snprintf(buffer, sizeof buffer, "%f", value->number.real);
                out.Text(buffer);
                break;
            }
            default:
                out.Text(value->number.u32 ? "true" : "false");
                break;
            }
            break;
        case kCFString:
            out.Text(value->string.text, strlen(value->string.text));
            break;
        case kCFData: {
            out.Format("<Data(%i)>: 0x", static_cast<int>(value->data.length));
            // Bytes go out in batches; the text is the same as one piece per byte.
            char hex[2048 + 1];
            static const char digits[] = "0123456789abcdef";
            size_t used = 0;
            for (uint32_t i = 0; i < value->data.length; i++) {
                hex[used++] = digits[value->data.bytes[i] >> 4];
                hex[used++] = digits[value->data.bytes[i] & 15];
                if (used == sizeof hex - 1) {
                    out.Text(hex, used);
                    used = 0;
                }
            }
            if (used) out.Text(hex, used);
            break;
        }
        case kCFArray:
            out.Text("Array (\n");
            for (uint32_t i = 0; i < value->array.count; i++) {
                DescribeValue(out, value->array.elements[i], depth + 1);
                out.Text(",\n");
            }
            out.Indent(depth);
            out.Text(")");
            break;
        case kCFDictionary:
            out.Text("Dictionary {\n");
            for (uint32_t i = 0; i < value->dictionary.count; i++) {
                DescribeValue(out, value->dictionary.keys[i], depth + 1);
                out.Text("  =>");
                DescribeValue(out, value->dictionary.values[i], 1);
                out.Text(",\n");
            }
            out.Indent(depth);
            out.Text("}");
            break;
        case kCFRange:
            if (value->range.subtype == kCFRangePointer)
                out.Text("CFValue: Pointer");
            else
                out.Format("CFValue: Range {%i , %i}", value->range.location, value->range.length);
            break;
        default:
            break;
        }
    }
    if (depth == 0) out.Text("\n");
}

void WriteToLog(void *, const char *text, size_t length) {
    // The log takes C strings; pieces longer than a log line are cut by the log itself.
    DebugLogAlways("%.*s", static_cast<int>(length > INT32_MAX ? INT32_MAX : length), text);
}

} // namespace

void CFValueDescribeTo(const CFValue *value, uint32_t depth, CFDescribeWriteFn write,
                       void *context) {
    if (!write) return;
    DescribeValue(Dump{write, context}, value, depth);
}

void CFValueDescribe(const CFValue *value, uint32_t depth) {
    CFValueDescribeTo(value, depth, WriteToLog, nullptr);
}

// ---- Dictionary builder ----

struct CFDictionaryBuilder {
    CFValue *dictionary;
    std::unordered_map<std::string_view, uint32_t> stringKeys; // text -> first entry
    std::vector<uint32_t> otherKeys;                           // entries with other keys
};

CFDictionaryBuilder *CFDictionaryBuilderNew(CFValue *dictionary) {
    auto *b = new CFDictionaryBuilder;
    b->dictionary = dictionary;
    for (uint32_t i = 0; i < dictionary->dictionary.count; i++) {
        const CFValue *k = dictionary->dictionary.keys[i];
        if (CFValueIsKind(k, kCFString))
            b->stringKeys.emplace(std::string_view(k->string.text), i);
        else
            b->otherKeys.push_back(i);
    }
    return b;
}

int CFDictionaryBuilderPut(CFDictionaryBuilder *b, CFValue *value, CFValue *key) {
    CFValue *d = b->dictionary;
    if (CFValueIsKind(key, kCFString)) {
        // Keys compare up to their terminator, and the view points into the stored key,
        // which the dictionary keeps alive and unchanged while it is built.
        auto found = b->stringKeys.find(std::string_view(key->string.text));
        if (found != b->stringKeys.end()) {
            CFDictionaryReplaceValueAt(d, found->second, value);
            return 1;
        }
        b->stringKeys.emplace(std::string_view(key->string.text), d->dictionary.count);
        CFDictionaryAppendEntry(d, value, key);
        return 1;
    }
    // A key of another kind never equals a string key.
    for (uint32_t i : b->otherKeys) {
        if (CFValueEqual(key, d->dictionary.keys[i])) {
            CFDictionaryReplaceValueAt(d, i, value);
            return 1;
        }
    }
    if (b->otherKeys.size() >= kMaxNonStringKeys) return 0;
    b->otherKeys.push_back(d->dictionary.count);
    CFDictionaryAppendEntry(d, value, key);
    return 1;
}

void CFDictionaryBuilderFree(CFDictionaryBuilder *b) {
    delete b;
}
