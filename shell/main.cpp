// The ostrel program's entry point.
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "shell/startup.h"

namespace {

void Usage() {
    fprintf(stderr, "usage: ostrel [--system-info]\n"
                    "  --system-info   log the start-up block (version, system) and exit\n");
}

} // namespace

int main(int argc, char **argv) {
    bool systemInfo = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--system-info")) systemInfo = true;
        else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            Usage();
            return 0;
        } else {
            fprintf(stderr, "ostrel: unknown argument \"%s\"\n", argv[i]);
            Usage();
            return 2;
        }
    }
    StartupState state{-1, {}};
    if (!StartProgram(&state)) return -1; // another copy runs: leave quietly
    if (!systemInfo) DebugLog(2, "Nothing to do: no connection was asked for\n");
    EndProgram(&state);
    return 0;
}
