#include "fuzz_plist_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QuietLog();
    const char *cursor = reinterpret_cast<const char *>(data);
    size_t remaining = size;
    CheckParsedValue(PlistReadJsonValue(&cursor, &remaining));
    if (cursor < reinterpret_cast<const char *>(data) ||
        cursor > reinterpret_cast<const char *>(data) + size || remaining > size)
        Fail("cursor left the input");
    return 0;
}
