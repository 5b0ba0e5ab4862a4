#include <cstring>
#include <vector>

#include "fuzz_plist_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    QuietLog();
    if (size >= 7 && memcmp(data, "bplist0", 7) == 0) {
        // Through the one entry point, as the connection code calls it.
        CheckParsedValue(PlistParseBytes(data, size));
        return 0;
    }
    // Inputs without the magic get it, so mutations need not rediscover it.
    std::vector<uint8_t> block = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    block.insert(block.end(), data, data + size);
    CheckParsedValue(BplistParse(block.data(), block.size()));
    return 0;
}
