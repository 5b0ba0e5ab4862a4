#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plist/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    size_t n = 0;
    uint8_t *bytes = Base64Decode(text, size, &n);
    if (!bytes) abort();
    size_t padded = (size + 3) / 4 * 4;
    if (n > padded / 4 * 3 || n + 2 < padded / 4 * 3) abort();
    // Decoded bytes encode to a canonical text that decodes to the same bytes.
    size_t m = 0;
    char *canonical = Base64Encode(bytes, n, &m);
    if (!canonical || m != (n + 2) / 3 * 4) abort();
    size_t k = 0;
    uint8_t *again = Base64Decode(canonical, m, &k);
    if (!again || k != n || memcmp(again, bytes, n) != 0) abort();
    free(again);
    free(canonical);
    free(bytes);
    // Any bytes survive an encode and decode.
    char *encoded = Base64Encode(data, size, &m);
    if (!encoded) abort();
    uint8_t *decoded = Base64Decode(encoded, m, &k);
    if (!decoded || k != size || (size && memcmp(decoded, data, size) != 0)) abort();
    free(decoded);
    free(encoded);
    return 0;
}
