// Request parsing and the Digest check on whatever a peer may send.
#include <cstddef>
#include <cstdint>

#include "tools/receiver/rx_digest.h"
#include "tools/receiver/rx_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t position = 0;
    while (position < size) {
        HttpRequest request;
        size_t consumed = 0;
        std::string error;
        if (HttpParseRequest(data + position, size - position, &request, &consumed, &error) !=
            kHttpComplete)
            break;
        if (consumed == 0 || consumed > size - position) __builtin_trap();
        position += consumed;
        std::string user;
        DigestCheck(HttpFindHeader(request, "Authorization"), request.method, request.uri, "pw",
                    {"abc"}, &user);
    }
    return 0;
}
