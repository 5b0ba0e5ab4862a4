// The receiver's RTSP answers as any bytes: every message parsed from them goes through what
// the audio connection reads of an answer (the Transport ports, the audio latency), and the
// bytes themselves are also read as one Transport value. Ports must stay ports and the
// latency within the range the sender believes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "net/http.h"
#include "system_audio/audio_encoder_driver.h"

// The connection's object file names the driver; nothing here starts it.
int StartSystemAudio(void *, EncodedAudioHandler, SystemAudioLostHandler) {
    abort();
}
int StartSystemAudioAs(const SystemAudioFormat *, void *, EncodedAudioHandler,
                       SystemAudioLostHandler) {
    abort();
}
void StopSystemAudio(void *) {}
int SystemAudioIsActive() {
    return 0;
}

namespace {

void Quiet(void *, const char *, size_t) {}

void Check(const HttpMessage *message) {
    AudioPorts ports{};
    ports.videoServerPort = 1;
    ParseTransportPorts(message, &ports);
    if (ports.videoServerPort != 1) abort(); // only the four named ports are written
    int32_t latency = AudioLatencyFromResponse(message);
    if (latency < 1 || latency > kAudioMaxLatency) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    LogOutputMode = 1;
    SetDebugOutput(Quiet, nullptr);

    std::vector<uint8_t> bytes(data, data + size);
    size_t left = bytes.size();
    HttpScratch scratch;
    while (left > 0) {
        HttpMessage message{};
        size_t length = left;
        int result = ParseHttpMessage(bytes.data(), &length, &message, &scratch);
        if (result != HttpResponse && result != HttpRequest) break;
        Check(&message);
        if (length >= left) break; // nothing consumed
        left = length;
    }

    // The bytes as the value of a Transport header.
    std::string value((const char *)data, size);
    value.resize(strlen(value.c_str()));
    const char *name = "Transport";
    const char *text = value.c_str();
    HttpMessage message{};
    message.statusCode = 200;
    message.headers = {&name, &text, 1};
    Check(&message);
    name = "Audio-Latency";
    Check(&message);
    return 0;
}
