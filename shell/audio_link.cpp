#include "shell/audio_link.h"

#include "audio_stream/audio_connection.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"

namespace {

int State(void *, MirroringConnection *connection) {
    AudioConnection *audio = connection->audio.load();
    return audio ? audio->state.load() : 0;
}

int Failure(void *, MirroringConnection *connection) {
    AudioConnection *audio = connection->audio.load();
    return audio ? audio->failure.load() : 0;
}

void Disconnected(AudioConnection *audio, MirroringConnection *connection) {
    if (connection && connection->user)
        AirPlayAudioWasDisconnected(static_cast<Controller *>(connection->user),
                                    audio ? audio->failure.load() : 0);
}

void Start(void *, MirroringConnection *connection) {
    // The lock only keeps the password from being replaced while it is taken.
    CFValue *password = nullptr;
    {
        std::lock_guard<std::mutex> hold(connection->passwordLock);
        password = CFValueRetain(connection->password);
    }
    (void)StartAudioConnection(&connection->audio, connection->host, connection->audioPort,
                               password, Disconnected, connection, connection->deviceId);
    CFValueRelease(password);
}

void Stop(void *, MirroringConnection *connection) {
    StopAudioConnection(&connection->audio);
}

} // namespace

const ControllerAudioOps kAudioStreamOps = {
    .state = State,
    .failure = Failure,
    .start = Start,
    .stop = Stop,
    .onDisconnected = Disconnected,
};

const MirroringAudioOps *AudioStreamTable() {
    return &kAudioConnectionOps;
}
