// The stream set-up check on arbitrary bodies.
#include <cstddef>
#include <cstdint>

#include "tools/receiver/rx_plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> problems;
    StreamSetupCheck(data, size, &problems);
    return 0;
}
