// CFValue records: construction, reference counting, equality, copying, access and
// change. Text conversions, files, sorting, constants and the dump live in
// cfvalue_text.cpp.
#include "plist/cfvalue.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "plist/cfvalue_internal.h"

[[noreturn]] void CFOutOfMemory(size_t bytes) {
    DebugLogAlways("Out of memory allocating %zu bytes\n", bytes);
    abort();
}

void *CFAllocate(size_t bytes) {
    void *p = malloc(bytes ? bytes : 1);
    if (!p) CFOutOfMemory(bytes);
    return p;
}

void *CFReallocate(void *old, size_t bytes) {
    void *p = realloc(old, bytes ? bytes : 1);
    if (!p) CFOutOfMemory(bytes);
    return p;
}

static CFValue *NewValue(CFKind kind) {
    CFValue *v = static_cast<CFValue *>(CFAllocate(sizeof(CFValue)));
    memset(v, 0, sizeof *v);
    v->kind = kind;
    v->refCount = 1;
    return v;
}

// Byte buffers grow by the excess rounded up to 1 KiB; once large they grow by at least
// half again so that long appends (the XML writer, receive buffers) stay linear.
static uint32_t GrownByteCapacity(uint32_t capacity, uint64_t needed) {
    if (needed > UINT32_MAX) CFOutOfMemory(needed);
    uint64_t excess = needed - capacity;
    uint64_t step = (excess + 1023) / 1024 * 1024;
    if (capacity >= 65536 && step < capacity / 2) step = (capacity / 2 + 1023) / 1024 * 1024;
    uint64_t grown = capacity + step;
    if (grown > UINT32_MAX) grown = needed;
    return static_cast<uint32_t>(grown);
}

// Containers grow by 8 slots; large ones by half again, for the same reason.
static uint32_t GrownSlotCapacity(uint32_t capacity) {
    uint64_t step = capacity >= 1024 ? capacity / 2 : 8;
    uint64_t grown = capacity + step;
    if (grown > UINT32_MAX / sizeof(CFValue *)) CFOutOfMemory(grown * sizeof(CFValue *));
    return static_cast<uint32_t>(grown);
}

// ---- Construction ----

CFValue *CFStringFromBytes(const char *text, int32_t length) {
    if (!text || length < 0) return nullptr;
    size_t n = length ? static_cast<size_t>(length) : strlen(text);
    if (n >= UINT32_MAX) return nullptr;
    CFValue *v = NewValue(kCFString);
    v->string.text = static_cast<char *>(CFAllocate(n + 1));
    memcpy(v->string.text, text, n);
    v->string.text[n] = '\0';
    v->string.length = static_cast<uint32_t>(n);
    // The terminator lives in the slack that the first append will grow.
    v->string.capacity = static_cast<uint32_t>(n);
    return v;
}

CFValue *CFDataFromBytes(const void *bytes, uint32_t length) {
    if (!bytes && length) return nullptr;
    CFValue *v = NewValue(kCFData);
    v->data.bytes = static_cast<uint8_t *>(CFAllocate(length));
    if (length) memcpy(v->data.bytes, bytes, length);
    v->data.length = length;
    v->data.capacity = length;
    return v;
}

CFValue *CFNumberFromUnsigned(uint32_t value) {
    CFValue *v = NewValue(kCFNumber);
    v->number.subtype = kCFNumberUnsigned;
    v->number.u32 = value;
    return v;
}

CFValue *CFNumberFromSigned(int32_t value) {
    CFValue *v = NewValue(kCFNumber);
    v->number.subtype = kCFNumberSigned;
    v->number.i32 = value;
    return v;
}

CFValue *CFNumberFromReal(double value) {
    CFValue *v = NewValue(kCFNumber);
    v->number.subtype = kCFNumberReal;
    v->number.real = value;
    return v;
}

CFValue *CFNumberFromBool(int value) {
    CFValue *v = NewValue(kCFNumber);
    v->number.subtype = kCFNumberBool;
    v->number.u32 = value ? 1 : 0;
    return v;
}

CFValue *CFArrayNew(uint32_t capacity) {
    CFValue *v = NewValue(kCFArray);
    if (capacity > UINT32_MAX / sizeof(CFValue *)) CFOutOfMemory(SIZE_MAX);
    v->array.elements = static_cast<CFValue **>(CFAllocate(capacity * sizeof(CFValue *)));
    v->array.capacity = capacity;
    return v;
}

CFValue *CFDictionaryNew(uint32_t capacity) {
    CFValue *v = NewValue(kCFDictionary);
    if (capacity > UINT32_MAX / sizeof(CFValue *)) CFOutOfMemory(SIZE_MAX);
    v->dictionary.keys = static_cast<CFValue **>(CFAllocate(capacity * sizeof(CFValue *)));
    v->dictionary.values = static_cast<CFValue **>(CFAllocate(capacity * sizeof(CFValue *)));
    v->dictionary.capacity = capacity;
    return v;
}

CFValue *CFNullNew() {
    return NewValue(kCFNull);
}

CFValue *CFRangeNew(int32_t location, int32_t length) {
    CFValue *v = NewValue(kCFRange);
    v->range.subtype = kCFRangeRange;
    v->range.location = location;
    v->range.length = length;
    return v;
}

CFValue *CFPointerNew(uintptr_t word) {
    CFValue *v = NewValue(kCFRange);
    v->range.subtype = kCFRangePointer;
    v->range.pointer = word;
    return v;
}

// ---- Reference counting ----

// Counts change atomically: a value handed to another thread (a connection's host,
// password, device id) is retained and released there while its giver still holds it.
// A retain only needs the count to stay exact; the release that frees must see every
// other thread's last use of the value, hence acquire-release there.
static_assert(alignof(int32_t) >= std::atomic_ref<int32_t>::required_alignment);

static std::atomic_ref<int32_t> CountOf(CFValue *value) {
    return std::atomic_ref<int32_t>(value->refCount);
}

CFValue *CFValueRetain(CFValue *value) {
    // A count of 0 never changes (the constants); a held value's count cannot reach 0 here.
    if (value && CountOf(value).load(std::memory_order_relaxed) != 0)
        CountOf(value).fetch_add(1, std::memory_order_relaxed);
    return value;
}

static void FreeValue(CFValue *v) {
    switch (v->kind) {
    case kCFString:
        free(v->string.text);
        break;
    case kCFData:
        free(v->data.bytes);
        break;
    case kCFArray:
        for (uint32_t i = 0; i < v->array.count; i++)
            CFValueRelease(v->array.elements[i]);
        free(v->array.elements);
        break;
    case kCFDictionary:
        for (uint32_t i = 0; i < v->dictionary.count; i++) {
            CFValueRelease(v->dictionary.keys[i]);
            CFValueRelease(v->dictionary.values[i]);
        }
        free(v->dictionary.keys);
        free(v->dictionary.values);
        break;
    default:
        break;
    }
    free(v);
}

int32_t CFValueRelease(CFValue *value) {
    if (!value || CountOf(value).load(std::memory_order_relaxed) == 0) return 0;
    int32_t count = CountOf(value).fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) FreeValue(value);
    return count;
}

// ---- Equality ----

static bool IsIntegerSubtype(uint32_t s) {
    return s == kCFNumberUnsigned || s == kCFNumberSigned;
}

static double IntegerAsDouble(const CFValue *v) {
    return v->number.subtype == kCFNumberSigned ? static_cast<double>(v->number.i32)
                                                : static_cast<double>(v->number.u32);
}

// Truthiness of a number: a NaN counts as non-zero.
static bool NumberNonZero(const CFValue *v) {
    if (v->number.subtype == kCFNumberReal) return v->number.real != 0.0;
    return v->number.u32 != 0;
}

bool CFRealTruncateTo32(double real, uint32_t *pattern) {
    if (!std::isfinite(real)) return false;
    double t = std::trunc(real);
    if (t < -2147483648.0 || t >= 4294967296.0) return false;
    *pattern = static_cast<uint32_t>(static_cast<int64_t>(t));
    return true;
}

static bool NumbersEqual(const CFValue *a, const CFValue *b) {
    uint32_t sa = a->number.subtype, sb = b->number.subtype;
    if (sa == kCFNumberBool || sb == kCFNumberBool) return NumberNonZero(a) == NumberNonZero(b);
    if (IsIntegerSubtype(sa) && IsIntegerSubtype(sb)) return a->number.u32 == b->number.u32;
    if (IsIntegerSubtype(sa)) {
        // An integer on the left matches a real that truncates to it.
        uint32_t pattern;
        return CFRealTruncateTo32(b->number.real, &pattern) && pattern == a->number.u32;
    }
    if (IsIntegerSubtype(sb)) return a->number.real == IntegerAsDouble(b);
    return a->number.real == b->number.real;
}

bool CFValueEqual(const CFValue *a, const CFValue *b) {
    if (a == b) return true;
    if (!a || !b) return false;
    if (a->kind != b->kind) return false;
    switch (a->kind) {
    case kCFNumber:
        return NumbersEqual(a, b);
    case kCFString:
        return strcmp(a->string.text, b->string.text) == 0;
    case kCFData:
        return a->data.length == b->data.length &&
               (a->data.length == 0 || memcmp(a->data.bytes, b->data.bytes, a->data.length) == 0);
    default:
        return false;
    }
}

bool CFValueTreeEqual(const CFValue *a, const CFValue *b) {
    if (a == b) return true;
    if (!a || !b || a->kind != b->kind) return false;
    switch (a->kind) {
    case kCFArray:
        if (a->array.count != b->array.count) return false;
        for (uint32_t i = 0; i < a->array.count; i++)
            if (!CFValueTreeEqual(a->array.elements[i], b->array.elements[i])) return false;
        return true;
    case kCFDictionary:
        if (a->dictionary.count != b->dictionary.count) return false;
        for (uint32_t i = 0; i < a->dictionary.count; i++) {
            if (!CFValueTreeEqual(a->dictionary.keys[i], b->dictionary.keys[i])) return false;
            if (!CFValueTreeEqual(a->dictionary.values[i], b->dictionary.values[i])) return false;
        }
        return true;
    case kCFNull:
        return true;
    case kCFRange:
        if (a->range.subtype != b->range.subtype) return false;
        if (a->range.subtype == kCFRangePointer) return a->range.pointer == b->range.pointer;
        return a->range.location == b->range.location && a->range.length == b->range.length;
    default:
        return CFValueEqual(a, b);
    }
}

// ---- Copying ----

CFValue *CFValueCopy(const CFValue *value) {
    if (!value) return nullptr;
    switch (value->kind) {
    case kCFNumber: {
        CFValue *v = NewValue(kCFNumber);
        v->number = value->number;
        return v;
    }
    case kCFString:
        return CFStringFromBytes(value->string.text, static_cast<int32_t>(value->string.length));
    case kCFData:
        return CFDataFromBytes(value->data.bytes, value->data.length);
    case kCFArray: {
        CFValue *v = CFArrayNew(value->array.capacity);
        for (uint32_t i = 0; i < value->array.count; i++) {
            CFValue *element = CFValueCopy(value->array.elements[i]);
            if (!element) continue;
            CFArrayPush(v, element);
            CFValueRelease(element);
        }
        return v;
    }
    case kCFDictionary: {
        CFValue *v = CFDictionaryNew(value->dictionary.capacity);
        for (uint32_t i = 0; i < value->dictionary.count; i++) {
            CFValue *key = CFValueCopy(value->dictionary.keys[i]);
            CFValue *entry = CFValueCopy(CFDictionaryFind(value, value->dictionary.keys[i]));
            CFDictionaryPut(v, entry, key);
            CFValueRelease(key);
            CFValueRelease(entry);
        }
        return v;
    }
    case kCFNull:
        return CFNullNew();
    case kCFRange:
        if (value->range.subtype == kCFRangePointer) return CFPointerNew(value->range.pointer);
        return CFRangeNew(value->range.location, value->range.length);
    default:
        return nullptr;
    }
}

// ---- Reading ----

int32_t CFValueKind(const CFValue *value) {
    return value ? value->kind : 0;
}

bool CFValueIsKind(const CFValue *value, CFKind kind) {
    return value && value->kind == kind;
}

const char *CFStringText(const CFValue *value) {
    if (!CFValueIsKind(value, kCFString)) return "(null)";
    return value->string.text;
}

uint32_t CFStringLength(const CFValue *value) {
    return CFValueIsKind(value, kCFString) ? value->string.length : 0;
}

const uint8_t *CFDataBytes(const CFValue *value) {
    return CFValueIsKind(value, kCFData) ? value->data.bytes : nullptr;
}

uint32_t CFDataLength(const CFValue *value) {
    return CFValueIsKind(value, kCFData) ? value->data.length : 0;
}

// strtol with base 10, saturated to 32 bits.
static int32_t DecimalReading(const char *text) {
    errno = 0;
    long n = strtol(text, nullptr, 10);
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

int32_t CFNumberGetInt(const CFValue *value) {
    if (!value) return 0;
    if (value->kind == kCFString) return DecimalReading(value->string.text);
    if (value->kind != kCFNumber) return 0;
    switch (value->number.subtype) {
    case kCFNumberUnsigned:
    case kCFNumberSigned:
        return value->number.i32;
    case kCFNumberReal: {
        double r = value->number.real;
        if (std::isnan(r)) return 0;
        if (r >= 2147483647.0) return INT32_MAX;
        if (r <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(r);
    }
    default:
        return value->number.u32 ? 1 : 0;
    }
}

bool CFNumberGetBool(const CFValue *value) {
    if (!value) return false;
    if (value->kind == kCFString) return DecimalReading(value->string.text) > 0;
    if (value->kind != kCFNumber) return false;
    return NumberNonZero(value);
}

double CFNumberGetReal(const CFValue *value) {
    if (!value) return 0.0;
    if (value->kind == kCFString) return strtod(value->string.text, nullptr);
    if (value->kind != kCFNumber) return 0.0;
    switch (value->number.subtype) {
    case kCFNumberReal:
        return value->number.real;
    case kCFNumberBool:
        return value->number.u32 ? 1.0 : 0.0;
    default:
        return IntegerAsDouble(value);
    }
}

int32_t CFNumberSubtype(const CFValue *value) {
    return CFValueIsKind(value, kCFNumber) ? static_cast<int32_t>(value->number.subtype) : -1;
}

uint32_t CFArrayCount(const CFValue *array) {
    return CFValueIsKind(array, kCFArray) ? array->array.count : 0;
}

CFValue *CFArrayGet(const CFValue *array, uint32_t index) {
    if (!CFValueIsKind(array, kCFArray) || index >= array->array.count) return nullptr;
    return array->array.elements[index];
}

uint32_t CFDictionaryCount(const CFValue *dictionary) {
    return CFValueIsKind(dictionary, kCFDictionary) ? dictionary->dictionary.count : 0;
}

int64_t CFDictionaryIndexOf(const CFValue *dictionary, const CFValue *key) {
    if (!CFValueIsKind(dictionary, kCFDictionary)) return -1;
    for (uint32_t i = 0; i < dictionary->dictionary.count; i++)
        if (CFValueEqual(key, dictionary->dictionary.keys[i])) return i;
    return -1;
}

CFValue *CFDictionaryFind(const CFValue *dictionary, const CFValue *key) {
    int64_t i = CFDictionaryIndexOf(dictionary, key);
    return i < 0 ? nullptr : dictionary->dictionary.values[i];
}

CFValue *CFDictionaryFindText(const CFValue *dictionary, const char *text) {
    if (!CFValueIsKind(dictionary, kCFDictionary) || !text) return nullptr;
    for (uint32_t i = 0; i < dictionary->dictionary.count; i++) {
        const CFValue *k = dictionary->dictionary.keys[i];
        if (CFValueIsKind(k, kCFString) && strcmp(k->string.text, text) == 0)
            return dictionary->dictionary.values[i];
    }
    return nullptr;
}

CFValue *CFDictionaryKeyAt(const CFValue *dictionary, uint32_t index) {
    if (!CFValueIsKind(dictionary, kCFDictionary) || index >= dictionary->dictionary.count)
        return nullptr;
    return dictionary->dictionary.keys[index];
}

CFValue *CFDictionaryValueAt(const CFValue *dictionary, uint32_t index) {
    if (!CFValueIsKind(dictionary, kCFDictionary) || index >= dictionary->dictionary.count)
        return nullptr;
    return dictionary->dictionary.values[index];
}

bool CFRangeGet(const CFValue *value, int32_t *location, int32_t *length) {
    if (!CFValueIsKind(value, kCFRange) || value->range.subtype != kCFRangeRange) return false;
    if (location) *location = value->range.location;
    if (length) *length = value->range.length;
    return true;
}

bool CFPointerGet(const CFValue *value, uintptr_t *word) {
    if (!CFValueIsKind(value, kCFRange) || value->range.subtype != kCFRangePointer) return false;
    if (word) *word = value->range.pointer;
    return true;
}

// ---- Changing ----

static void ReserveText(CFValue *s, uint64_t more) {
    uint64_t needed = static_cast<uint64_t>(s->string.length) + more + 1;
    if (needed <= s->string.capacity) return;
    // A fresh string holds exactly length + 1 bytes, one more than its capacity says.
    uint32_t capacity = GrownByteCapacity(s->string.capacity, needed);
    s->string.text = static_cast<char *>(CFReallocate(s->string.text, capacity));
    s->string.capacity = capacity;
}

void CFStringAppendText(CFValue *string, const char *text, uint32_t n) {
    if (!CFValueIsKind(string, kCFString) || !text) return;
    size_t count = n ? strnlen(text, n) : strlen(text);
    if (count == 0) return;
    ReserveText(string, count);
    memcpy(string->string.text + string->string.length, text, count);
    string->string.length += static_cast<uint32_t>(count);
    string->string.text[string->string.length] = '\0';
}

int CFStringReplaceRange(CFValue *string, int32_t location, int32_t length, const char *text) {
    if (!CFValueIsKind(string, kCFString) || !text || location < 0 || length < 0) return 0;
    uint64_t end = static_cast<uint64_t>(location) + static_cast<uint64_t>(length);
    if (end > string->string.length) return 0;
    size_t insert = strlen(text);
    if (insert > static_cast<uint32_t>(length)) ReserveText(string, insert - length);
    char *base = string->string.text;
    size_t tail = string->string.length - end;
    memmove(base + location + insert, base + end, tail);
    memcpy(base + location, text, insert);
    string->string.length = static_cast<uint32_t>(location + insert + tail);
    base[string->string.length] = '\0';
    return 1;
}

void CFDataAppendBytes(CFValue *data, const void *bytes, uint32_t count) {
    if (!CFValueIsKind(data, kCFData) || !bytes || count == 0) return;
    uint64_t needed = static_cast<uint64_t>(data->data.length) + count;
    if (needed > data->data.capacity) {
        uint32_t capacity = GrownByteCapacity(data->data.capacity, needed);
        data->data.bytes = static_cast<uint8_t *>(CFReallocate(data->data.bytes, capacity));
        data->data.capacity = capacity;
    }
    memcpy(data->data.bytes + data->data.length, bytes, count);
    data->data.length += count;
}

void CFArrayPush(CFValue *array, CFValue *element) {
    if (!CFValueIsKind(array, kCFArray)) return;
    if (array->array.count == array->array.capacity) {
        uint32_t capacity = GrownSlotCapacity(array->array.capacity);
        array->array.elements = static_cast<CFValue **>(
            CFReallocate(array->array.elements, capacity * sizeof(CFValue *)));
        array->array.capacity = capacity;
    }
    array->array.elements[array->array.count++] = CFValueRetain(element);
}

void CFDictionaryAppendEntry(CFValue *d, CFValue *value, CFValue *key) {
    if (d->dictionary.count == d->dictionary.capacity) {
        uint32_t capacity = GrownSlotCapacity(d->dictionary.capacity);
        d->dictionary.keys =
            static_cast<CFValue **>(CFReallocate(d->dictionary.keys, capacity * sizeof(CFValue *)));
        d->dictionary.values = static_cast<CFValue **>(
            CFReallocate(d->dictionary.values, capacity * sizeof(CFValue *)));
        d->dictionary.capacity = capacity;
    }
    d->dictionary.keys[d->dictionary.count] = CFValueRetain(key);
    d->dictionary.values[d->dictionary.count] = CFValueRetain(value);
    d->dictionary.count++;
}

void CFDictionaryReplaceValueAt(CFValue *d, uint32_t index, CFValue *value) {
    CFValue *old = d->dictionary.values[index];
    if (old == value) return;
    d->dictionary.values[index] = CFValueRetain(value);
    CFValueRelease(old);
}

void CFDictionaryPut(CFValue *dictionary, CFValue *value, CFValue *key) {
    if (!CFValueIsKind(dictionary, kCFDictionary)) return;
    int64_t i = CFDictionaryIndexOf(dictionary, key);
    if (i >= 0) {
        CFDictionaryReplaceValueAt(dictionary, static_cast<uint32_t>(i), value);
        return;
    }
    CFDictionaryAppendEntry(dictionary, value, key);
}

void CFDictionaryPutText(CFValue *dictionary, CFValue *value, const char *text) {
    if (!text) return;
    CFDictionaryPut(dictionary, value, CFStringConstant(text));
}
