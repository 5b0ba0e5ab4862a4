// Property lists: the XML writer and the readers for XML, JSON-style text and binary
// property lists, all turning bytes into CFValue trees (plist/cfvalue.h).
//
// The readers are small scanners, not general XML or JSON parsers; they accept what the
// program writes and what receivers send. They keep no state between calls (only the
// base64 tables) and run on the caller's thread. Every read stays inside the input.
//
// Hostile input is bounded: containers may nest at most kPlistMaxDepth levels, and a
// binary list may materialise at most kBplistMaxObjects values per parse and may not
// contain reference cycles. Input that breaks these limits gives no value at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plist/cfvalue.h"

// Deepest container nesting any reader accepts (the root container is level 1).
constexpr uint32_t kPlistMaxDepth = 512;
// Most values one binary parse may create; shared references are expanded into copies,
// so this bounds the work for lists that reference one sub-tree many times over.
constexpr uint64_t kBplistMaxObjects = 1u << 18;

// ---- Writing ----

// The XML property-list document for root: returns a new reference to a string.
// Text in strings and keys is written with "&", "<" and ">" escaped as entities.
// Null, range and pointer values write nothing.
CFValue *PlistToXML(const CFValue *root);
// Appends one element for value to document (a string) after depth tabs; keyMode writes
// a string as <key>. A final LF is added at depth 0.
void PlistWriteXmlElement(CFValue *document, const CFValue *value, uint32_t depth, bool keyMode);

// ---- Reading ----

// Reads a property list from input, a string (its text) or data (its bytes): binary when
// it begins with "bplist", JSON-style when it begins with "{", "[" or a double quote, XML
// otherwise. Returns a new reference to the root value, or no value (null) for no input,
// another kind of input, or input that holds no readable value.
[[nodiscard]] CFValue *PlistParse(const CFValue *input);
// The same for raw bytes.
[[nodiscard]] CFValue *PlistParseBytes(const void *bytes, size_t length);

// The next XML element at *cursor: a new reference, or null at a closing tag, at the end
// of input or past the depth limit. Advances *cursor and decreases *remaining.
// String and key content has its entities (&amp; &lt; &gt; &quot; &apos; &#N; &#xH;)
// decoded; anything else that starts with "&" is kept as written.
[[nodiscard]] CFValue *PlistReadXmlElement(const char **cursor, size_t *remaining);
// The next JSON-style value at *cursor: a new reference, or null at "]" or "}", at the
// end of input or past the depth limit. String escape sequences stay as written.
[[nodiscard]] CFValue *PlistReadJsonValue(const char **cursor, size_t *remaining);

// ---- Binary property lists ----

// Trailer fields of a binary property list (the last 32 bytes, big-endian).
struct BplistTrailer {
    uint8_t offsetSize;    // bytes per offset-table entry
    uint8_t referenceSize; // bytes per object reference
    uint64_t objectCount;
    uint64_t topObject; // not used: the root is the object at offset 8
    uint64_t offsetTableStart;
};

// Decodes a binary property list: a new reference to the root (the object at offset 8),
// or null when the input is short, has the wrong magic, uses an unsupported object kind,
// reads past its end, forms a reference cycle, nests too deeply or expands to too many
// objects. Null, date, fill, UTF-16 and UID objects become fixed placeholder strings.
[[nodiscard]] CFValue *BplistParse(const uint8_t *bytes, size_t length);
// Big-endian unsigned value of n bytes (only the last 8 count); 0 for n = 0.
uint64_t BplistReadInt(const uint8_t *bytes, size_t n);
