// Any datagram: a reply only for 32 or 48 bytes, and its echoed fields come from the request.
#include <cstdlib>
#include <cstring>

#include "mirroring/ntpd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t reply[48];
    StreamClock rx{0x01020304, 0x05060708}, tx{0x11121314, 0x15161718};
    size_t n = NtpBuildReply(data, size, rx, tx, reply);
    if (size != 32 && size != 48) {
        if (n != 0) abort();
        return 0;
    }
    if (n != size) abort();
    if (size == 48 && (memcmp(reply + 24, data + 40, 8) != 0 || reply[0] != 0x24)) abort();
    if (size == 32 && (memcmp(reply + 8, data + 24, 8) != 0 || reply[1] != 0xD3)) abort();
    return 0;
}
