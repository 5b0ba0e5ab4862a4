// Adapter records with arbitrary contents (unterminated names and addresses, odd lengths
// and types): the choice stays inside the records and returns well-formed MAC text.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "mirroring/device_id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (LogOutputMode = 3, true);
    (void)quiet;
    int count = (int)(size / sizeof(AdapterRecord));
    if (count > 64) count = 64;
    AdapterRecord *records = (AdapterRecord *)malloc((size_t)count * sizeof(AdapterRecord) + 1);
    if (!records) return 0;
    memcpy(records, data, (size_t)count * sizeof(AdapterRecord));
    char *mac = ChooseMacAddressFrom(records, count);
    if (mac) {
        if (strlen(mac) != 12) abort();
        for (int i = 0; i < 12; i++)
            if (!isxdigit((unsigned char)mac[i]) || islower((unsigned char)mac[i])) abort();
        char id[32];
        if (!MakeDeviceIdText(mac, id, sizeof id) || strlen(id) != 14) abort();
        free(mac);
    }
    free(records);
    return 0;
}
