// Helpers shared by the property-list sources; not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include <string>

#include "plist/cfvalue.h"

// Allocation that ends the process (after a log line) when memory runs out.
[[noreturn]] void CFOutOfMemory(size_t bytes);
void *CFAllocate(size_t bytes);
void *CFReallocate(void *old, size_t bytes);

// Truncates real toward zero and stores its 32-bit pattern (signed values as two's
// complement). False for NaN, infinities and values outside [-2^31, 2^32).
bool CFRealTruncateTo32(double real, uint32_t *pattern);

// Appends code point cp (at most 0x10FFFF) to out as UTF-8.
void CFAppendUtf8(std::string &out, uint32_t cp);

// Index of the first entry whose key equals key (key on the left), or -1.
int64_t CFDictionaryIndexOf(const CFValue *dictionary, const CFValue *key);
// Appends an entry without looking for an equal key; retains both.
void CFDictionaryAppendEntry(CFValue *dictionary, CFValue *value, CFValue *key);
// Replaces the value of entry index (retaining the new, releasing the old).
void CFDictionaryReplaceValueAt(CFValue *dictionary, uint32_t index, CFValue *value);

// Puts entries into a dictionary under construction without a linear scan per string
// key, so that a hostile document with many distinct keys costs linear time. The result
// is the same as CFDictionaryPut on each pair in order. Keys of other kinds are compared
// one by one; past kMaxNonStringKeys of them a put fails (returns 0) and the reader
// gives up, since real documents key their dictionaries by strings.
constexpr uint32_t kMaxNonStringKeys = 1024;
struct CFDictionaryBuilder;
CFDictionaryBuilder *CFDictionaryBuilderNew(CFValue *dictionary);
[[nodiscard]] int CFDictionaryBuilderPut(CFDictionaryBuilder *builder, CFValue *value,
                                         CFValue *key);
void CFDictionaryBuilderFree(CFDictionaryBuilder *builder);

// Container reading shared by the XML and JSON-style readers: depth limit, dictionary
// and array assembly. failed, once set, makes every level give up.
struct PlistTextReader {
    uint32_t depth;
    bool failed;
};
// Reads the next item at *cursor: a new reference, or null at the container's end.
typedef CFValue *(*PlistReadItemFn)(PlistTextReader *reader, const char **cursor,
                                    size_t *remaining);
// Items alternate key, value until the end; null when a limit was hit.
CFValue *PlistReadDictionaryItems(PlistTextReader *reader, PlistReadItemFn read,
                                  const char **cursor, size_t *remaining);
CFValue *PlistReadArrayItems(PlistTextReader *reader, PlistReadItemFn read, const char **cursor,
                             size_t *remaining);
