// Captures system audio until killed (at most a minute), so that a test can kill a run
// in the middle of a capture.
#include "system_audio/ov_system_audio.h"

#include <cstdio>
#include <unistd.h>

static void Ignore(OvSystemAudio *, const int16_t *, int, int, void *) {}

int main() {
    OvSystemAudio *capture = nullptr;
    if (!OvSystemAudioCreate(&capture, 2, Ignore, nullptr) || !OvSystemAudioStart(capture))
        return 1;
    for (int i = 0; i < 600; i++)
        usleep(100000);
    OvSystemAudioClose(capture);
    return 0;
}
