// Request parsing and the Digest check on whatever a peer may send.
#include <cstddef>
#include <cstdint>

#include "fuzz/receiver/fuzz_requests.h"
#include "tools/receiver/rx_digest.h"
#include "tools/receiver/rx_http.h"

static void CheckRequest(const HttpRequest &request) {
    std::string user;
    DigestCheck(HttpFindHeader(request, "Authorization"), request.method, request.uri, "pw",
                {"abc"}, &user);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzEachRequest(data, size, CheckRequest);
    return 0;
}
