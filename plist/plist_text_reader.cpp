#include "base/log.h"
#include "plist/cfvalue_internal.h"
#include "plist/plist.h"

namespace {

bool EnterContainer(PlistTextReader *r) {
    if (r->depth >= kPlistMaxDepth) {
        if (!r->failed) DebugLog(2, "Property list nested deeper than %u levels\n", kPlistMaxDepth);
        r->failed = true;
        return false;
    }
    r->depth++;
    return true;
}

} // namespace

CFValue *PlistReadDictionaryItems(PlistTextReader *r, PlistReadItemFn read, const char **cursor,
                                  size_t *remaining) {
    if (!EnterContainer(r)) return nullptr;
    CFValue *d = CFDictionaryNew(1);
    CFDictionaryBuilder *builder = CFDictionaryBuilderNew(d);
    for (;;) {
        CFValue *key = read(r, cursor, remaining);
        if (!key) break;
        CFValue *value = read(r, cursor, remaining);
        if (value && !CFDictionaryBuilderPut(builder, value, key)) {
            DebugLog(2, "Property list dictionary has too many keys that are not strings\n");
            r->failed = true;
        }
        CFValueRelease(key);
        CFValueRelease(value);
        if (!value || r->failed) break;
    }
    CFDictionaryBuilderFree(builder);
    r->depth--;
    if (r->failed) {
        CFValueRelease(d);
        return nullptr;
    }
    return d;
}

CFValue *PlistReadArrayItems(PlistTextReader *r, PlistReadItemFn read, const char **cursor,
                             size_t *remaining) {
    if (!EnterContainer(r)) return nullptr;
    CFValue *a = CFArrayNew(1);
    while (CFValue *element = read(r, cursor, remaining)) {
        CFArrayPush(a, element);
        CFValueRelease(element);
    }
    r->depth--;
    if (r->failed) {
        CFValueRelease(a);
        return nullptr;
    }
    return a;
}

