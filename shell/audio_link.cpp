#include "shell/audio_link.h"

#include <mutex>

#include "audio_stream/audio_connection.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"

namespace {

int State(void *, MirroringConnection *connection) {
    int32_t state = 0;
    AudioConnectionStatus(&connection->audio, &state, nullptr);
    return state;
}

int Failure(void *, MirroringConnection *connection) {
    int32_t failure = 0;
    AudioConnectionStatus(&connection->audio, nullptr, &failure);
    return failure;
}

void Disconnected(AudioConnection *audio, MirroringConnection *connection) {
    if (connection && connection->user)
        AirPlayAudioWasDisconnected(static_cast<Controller *>(connection->user),
                                    audio ? audio->failure.load() : 0);
}

void Start(void *, MirroringConnection *connection) {
    StartConnectionAudio(connection);
}

void Stop(void *, MirroringConnection *connection) {
    StopConnectionAudio(connection);
}

void SetPassword(void *, MirroringConnection *connection, const char *text) {
    SetAudioConnectionPassword(&connection->audio, text);
}

} // namespace

const ControllerAudioOps kAudioStreamOps = {
    .state = State,
    .failure = Failure,
    .start = Start,
    .stop = Stop,
    .onDisconnected = Disconnected,
    .setPassword = SetPassword,
};

const MirroringAudioOps *AudioStreamTable() {
    return &kAudioConnectionOps;
}
