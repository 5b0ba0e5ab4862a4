#include "base/thread.h"

#include <cstring>
#include <pthread.h>

void SetThreadName(const char *name) {
    char shortName[16];
    strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}
