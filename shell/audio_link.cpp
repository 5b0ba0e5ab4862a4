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

// The sound alone to a speaker: the controller is the connection's owner.
void SpeakerDisconnected(AudioConnection *audio, MirroringConnection *) {
    if (audio && audio->owner)
        SpeakerSoundWasDisconnected(static_cast<Controller *>(audio->owner), audio->failure.load());
}

int SpeakerPassword(void *owner, AudioConnection *, int retried) {
    return SpeakerPasswordRequired(static_cast<Controller *>(owner), retried);
}

const AudioOwnerOps kSpeakerOwner = {.onPasswordRequired = SpeakerPassword};

int StartSpeaker(void *, Controller *c, CFValue *host, uint16_t port, CFValue *password,
                 int32_t codec) {
    return StartOwnedAudioConnection(&c->speakerAudio, host, port, password, SpeakerDisconnected,
                                     &kSpeakerOwner, c, c->deviceId, codec);
}

void StopSpeaker(void *, Controller *c) {
    StopAudioConnection(&c->speakerAudio);
}

void SpeakerStatus(void *, Controller *c, int *state, int *failure) {
    int32_t s = 0, f = 0;
    AudioConnectionStatus(&c->speakerAudio, &s, &f);
    if (state) *state = s;
    if (failure) *failure = f;
}

void SetSpeakerPassword(void *, Controller *c, const char *text) {
    SetAudioConnectionPassword(&c->speakerAudio, text);
}

} // namespace

const ControllerAudioOps kAudioStreamOps = {
    .state = State,
    .failure = Failure,
    .start = Start,
    .stop = Stop,
    .onDisconnected = Disconnected,
    .setPassword = SetPassword,
    .startSpeaker = StartSpeaker,
    .stopSpeaker = StopSpeaker,
    .speakerStatus = SpeakerStatus,
    .setSpeakerPassword = SetSpeakerPassword,
};

const MirroringAudioOps *AudioStreamTable() {
    return &kAudioConnectionOps;
}
