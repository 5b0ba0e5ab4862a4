// Checks every fuzz target applies to a value a reader produced.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "plist/cfvalue.h"
#include "plist/plist.h"

// True when value holds no real number, null, range or pointer: the kinds that the XML
// writer cannot reproduce exactly (reals keep six decimals, the others write nothing).
inline bool WritesExactly(const CFValue *value) {
    switch (CFValueKind(value)) {
    case kCFNumber:
        return CFNumberSubtype(value) != kCFNumberReal;
    case kCFString:
    case kCFData:
        return true;
    case kCFArray:
        for (uint32_t i = 0; i < CFArrayCount(value); i++)
            if (!WritesExactly(CFArrayGet(value, i))) return false;
        return true;
    case kCFDictionary:
        for (uint32_t i = 0; i < CFDictionaryCount(value); i++)
            if (!WritesExactly(CFDictionaryKeyAt(value, i)) ||
                !WritesExactly(CFDictionaryValueAt(value, i)))
                return false;
        return true;
    default:
        return false;
    }
}

inline void Fail(const char *what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Dumps, copies and writes the value; a value the writer can reproduce must read back
// equal from its XML document.
inline void CheckParsedValue(CFValue *value) {
    if (!value) return;
    size_t dumped = 0;
    CFValueDescribeTo(
        value, 0,
        [](void *context, const char *, size_t n) { *static_cast<size_t *>(context) += n; },
        &dumped);
    if (dumped == 0) Fail("empty dump");
    bool exact = WritesExactly(value);
    CFValue *copy = CFValueCopy(value);
    if (exact && !CFValueTreeEqual(copy, value)) Fail("copy differs");
    CFValueRelease(copy);
    CFValue *document = PlistToXML(value);
    CFValue *back = PlistParse(document);
    if (exact && !CFValueTreeEqual(back, value)) Fail("XML round trip differs");
    CFValueRelease(back);
    CFValueRelease(document);
    CFValueRelease(value);
}

inline void QuietLog() {
    LogOutputMode = 3;
}
