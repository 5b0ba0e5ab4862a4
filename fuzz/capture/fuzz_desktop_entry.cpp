// Desktop files come from any package or user: parsing them must never fail badly. The
// same bytes also go through the title helpers that window names from other clients meet.
#include "capture/windows.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    DesktopEntry entry;
    bool named = DesktopEntryParse(reinterpret_cast<const char *>(data), size, &entry);
    if (named && entry.name.empty()) abort();
    if (entry.program.find('/') != std::string::npos) abort();

    std::string title(reinterpret_cast<const char *>(data), size);
    TruncateWindowTitle(&title);
    if (title.size() > 253) abort();
    std::string escaped = title;
    EscapeJsonText(&escaped);
    if (escaped.size() < title.size() || escaped.size() > 2 * title.size()) abort();
    return 0;
}
