// CFValue: the reference-counted value record that holds every piece of structured
// data in the program (property lists, receiver and window lists, settings, received
// bytes).
//
// Ownership: every constructor returns a new reference (count 1) that the caller
// releases once with CFValueRelease. Arrays and dictionaries retain what they store and
// release it when freed. Functions documented as "borrowed" return a value the caller
// must not release; retain it to keep it beyond the container's life.
//
// A reference count of 0 marks a value that is never freed (the constant strings):
// retain and release leave it unchanged, so such values may be shared by all threads.
//
// Threads: reference counts change atomically, so any thread may retain and release a
// value it holds a reference to, and the last release frees it wherever that happens.
// The contents carry no lock: a value is built by one thread, and once another thread
// can reach it nobody changes it (strings, data, arrays and dictionaries alike); a value
// that keeps changing (the receiver list) stays with one thread. The constant-string
// table (CFStringConstant) is safe to reach from every thread.
//
// Wrong kinds and null arguments never crash: readers return the neutral answer
// (0, false, "(null)", no value) and writers do nothing.
#pragma once

#include <cstddef>
#include <cstdint>

enum CFKind : int32_t {
    kCFNumber = 1,
    kCFString = 2,
    kCFData = 3,
    kCFArray = 4,
    kCFDictionary = 5,
    kCFNull = 6,
    kCFRange = 7,
};

enum CFNumberType : uint32_t {
    kCFNumberUnsigned = 0, // 32-bit unsigned integer
    kCFNumberSigned = 1,   // 32-bit signed integer
    kCFNumberReal = 2,     // IEEE double
    kCFNumberBool = 3,     // 0 or 1
};

enum CFRangeType : uint32_t {
    kCFRangeRange = 0,   // location and length
    kCFRangePointer = 1, // one opaque machine word
};

struct CFValue;

struct CFNumberFields {
    uint32_t subtype; // CFNumberType
    union {
        uint32_t u32; // kCFNumberUnsigned, and 0/1 for kCFNumberBool
        int32_t i32;  // kCFNumberSigned
        double real;  // kCFNumberReal
    };
};

struct CFStringFields {
    uint32_t length;   // bytes of text, terminator excluded
    uint32_t capacity; // bytes reserved (the terminator needs one of them)
    char *text;        // owned; NUL-terminated at [length]; UTF-8 or ASCII, never validated
};

struct CFDataFields {
    uint32_t length;
    uint32_t capacity;
    uint8_t *bytes; // owned; no terminator
};

struct CFArrayFields {
    uint32_t count;
    uint32_t capacity;  // slots
    CFValue **elements; // owned slot list; each non-null element is retained
};

struct CFDictionaryFields {
    uint32_t count;
    uint32_t capacity; // slots in both lists
    CFValue **keys;    // entry i is (keys[i], values[i]), in insertion order; all retained
    CFValue **values;  // a value may be null
};

struct CFRangeFields {
    uint32_t subtype; // CFRangeType
    int32_t location;
    int32_t length;
    uintptr_t pointer;
};

// Plain record; read it through the functions below where one exists.
struct CFValue {
    int32_t kind;     // CFKind
    int32_t refCount; // 1 at creation; 0 = never freed; changed only by retain/release
    union {
        CFNumberFields number;
        CFStringFields string;
        CFDataFields data;
        CFArrayFields array;
        CFDictionaryFields dictionary;
        CFRangeFields range;
    };
};

// ---- Construction: each returns a new reference (count 1) ----

// Copies exactly length bytes and adds a NUL; length 0 measures the text up to its NUL.
// No value for a null text.
CFValue *CFStringFromBytes(const char *text, int32_t length);
// printf-style; at most 4095 bytes. A text longer than 1 byte that ends in LF not
// preceded by CR (and is shorter than 4094 bytes) gets the final LF turned into CR LF.
CFValue *CFStringFromFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
// NUL-terminated UTF-16 text converted to UTF-8; an unpaired surrogate becomes U+FFFD.
CFValue *CFStringFromWide(const char16_t *text);
// As CFStringFromWide, keeping only the bytes below 0x80 (multi-byte sequences dropped).
CFValue *CFStringAsciiFromWide(const char16_t *text);
CFValue *CFDataFromBytes(const void *bytes, uint32_t length);
// The whole file as data; no value when it is missing, empty, unreadable or over 2 GiB.
CFValue *CFDataFromFile(const char *path);
// "atv-ov-icon1024.png" in the executable's folder as data, or no value.
CFValue *CFDataFromArtworkFile();
CFValue *CFNumberFromUnsigned(uint32_t value);
CFValue *CFNumberFromSigned(int32_t value);
CFValue *CFNumberFromReal(double value);
CFValue *CFNumberFromBool(int value); // any non-zero value is stored as 1
CFValue *CFArrayNew(uint32_t capacity);
CFValue *CFDictionaryNew(uint32_t capacity);
CFValue *CFNullNew();
CFValue *CFRangeNew(int32_t location, int32_t length);
CFValue *CFPointerNew(uintptr_t word);

// The interned, never-freed string for text: borrowed (count 0, so retain and release
// do nothing). The same text always gives the same record. Safe from every thread.
CFValue *CFStringConstant(const char *text);

// ---- Reference counting, comparison, copying ----

// Adds one reference unless value is null or has count 0. Returns value.
CFValue *CFValueRetain(CFValue *value);
// Drops one reference and frees the value (releasing its contents) at zero. Null and
// count-0 values are left alone. Returns the new count (0 when freed or never freed).
int32_t CFValueRelease(CFValue *value);
// Leaf equality: same record; numbers by value across subtypes (an integer on the left
// matches a real that truncates to it, a real on the left only the exact integer);
// strings byte for byte up to the terminator; data by length and bytes. Arrays,
// dictionaries, nulls and ranges equal only themselves.
bool CFValueEqual(const CFValue *a, const CFValue *b);
// Structural equality: as CFValueEqual for leaves, but arrays and dictionaries compare
// element by element in order, nulls equal nulls, ranges compare their fields.
bool CFValueTreeEqual(const CFValue *a, const CFValue *b);
// Deep copy: a new reference, or no value for null. Null array elements are skipped.
CFValue *CFValueCopy(const CFValue *value);
// Writes the description dump of value to the log (DebugLogAlways), indented by depth.
void CFValueDescribe(const CFValue *value, uint32_t depth);
// The same dump, handing each piece to write(context, text, length) instead of the log.
typedef void (*CFDescribeWriteFn)(void *context, const char *text, size_t length);
void CFValueDescribeTo(const CFValue *value, uint32_t depth, CFDescribeWriteFn write,
                       void *context);

// ---- Reading ----

int32_t CFValueKind(const CFValue *value); // 0 for null
bool CFValueIsKind(const CFValue *value, CFKind kind);

// Its NUL-terminated text (borrowed, valid until the string changes or is freed);
// "(null)" when value is not a string.
const char *CFStringText(const CFValue *value);
uint32_t CFStringLength(const CFValue *value); // 0 when not a string

const uint8_t *CFDataBytes(const CFValue *value); // borrowed; null when not data
uint32_t CFDataLength(const CFValue *value);      // 0 when not data

// Numbers: strings read as decimal (strtol base 10); reals truncate toward zero;
// booleans 1/0; 0 for other kinds and null.
int32_t CFNumberGetInt(const CFValue *value);
// Strings: decimal reading > 0. Numbers: non-zero (a NaN counts as non-zero).
bool CFNumberGetBool(const CFValue *value);
// The value as a double (unsigned, signed, real, boolean); strings read with strtod;
// 0.0 for other kinds.
double CFNumberGetReal(const CFValue *value);
// CFNumberType of a number; -1 for anything else.
int32_t CFNumberSubtype(const CFValue *value);

uint32_t CFArrayCount(const CFValue *array); // 0 when not an array
// Element at index: borrowed; null when out of range, not an array, or a null element.
CFValue *CFArrayGet(const CFValue *array, uint32_t index);

uint32_t CFDictionaryCount(const CFValue *dictionary); // 0 when not a dictionary
// Value of the first entry whose key equals key (CFValueEqual(key, entryKey)): borrowed.
CFValue *CFDictionaryFind(const CFValue *dictionary, const CFValue *key);
// Shorthand for CFDictionaryFind with a string key of text: borrowed.
CFValue *CFDictionaryFindText(const CFValue *dictionary, const char *text);
// Entry index in insertion order: borrowed; null when out of range.
CFValue *CFDictionaryKeyAt(const CFValue *dictionary, uint32_t index);
CFValue *CFDictionaryValueAt(const CFValue *dictionary, uint32_t index);

// Range fields; false when value is not a range of that subtype.
bool CFRangeGet(const CFValue *value, int32_t *location, int32_t *length);
bool CFPointerGet(const CFValue *value, uintptr_t *word);

// ---- Changing ----

// Appends the first n bytes of text (n = 0: the whole NUL-terminated text), stopping
// early at a NUL in text. Keeps the terminator.
void CFStringAppendText(CFValue *string, const char *text, uint32_t n);
// Replaces bytes [location, location + length) with text. Returns 0 (and changes
// nothing) when the range lies outside the string or value is not a string.
[[nodiscard]] int CFStringReplaceRange(CFValue *string, int32_t location, int32_t length,
                                       const char *text);
void CFDataAppendBytes(CFValue *data, const void *bytes, uint32_t count);
// Appends element (may be null) and retains it.
void CFArrayPush(CFValue *array, CFValue *element);
// Sorts elements [first, last] ascending by case-insensitive text (ASCII letters
// folded); non-strings never compare greater. Quicksort, not stable. Indices are
// clamped to the array.
void CFArraySortByText(CFValue *array, uint32_t first, uint32_t last);
// As CFArraySortByText, by the string stored under key in each element dictionary.
void CFArraySortByKey(CFValue *array, uint32_t first, uint32_t last, const CFValue *key);
// Sets the entry for key: an equal existing key keeps its key object and takes value
// (retained; the old value released); otherwise key and value are appended (retained).
// Note the argument order: value before key.
void CFDictionaryPut(CFValue *dictionary, CFValue *value, CFValue *key);
// Shorthand: put value under the constant string for text.
void CFDictionaryPutText(CFValue *dictionary, CFValue *value, const char *text);
