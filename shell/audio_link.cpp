#include "shell/audio_link.h"

#include <mutex>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"

namespace {

// The menu reads the audio connection's state on the main thread while a stop on another
// thread (the mirroring connection ending) may free it. Every record leaves its slot under
// this lock, and readers look at a record only while holding it: once a stopper has taken
// the record out, no reader still holds it, so the free that follows is safe. Held for
// moments only, never across a stop.
std::mutex slotLock;

// Stops the connection in slot. Not calling the stream's stop on the slot itself: its
// free would race a reader.
void StopInSlot(std::atomic<AudioConnection *> *slot) {
    if (!slot) return;
    AudioConnection *taken;
    {
        std::lock_guard<std::mutex> hold(slotLock);
        taken = slot->exchange(nullptr);
    }
    if (!taken) return;
    std::atomic<AudioConnection *> held{taken};
    StopAudioConnection(&held);
    // On one of the connection's own threads the stop only asks it to end and leaves the
    // record where it was, for its owner to release later.
    AudioConnection *left = held.load();
    if (!left) return;
    std::lock_guard<std::mutex> hold(slotLock);
    AudioConnection *empty = nullptr;
    if (!slot->compare_exchange_strong(empty, left))
        DebugLog(2, "Audio: an ending connection could not be handed back to its owner\n");
}

int StartInSlot(std::atomic<AudioConnection *> *slot, CFValue *host, uint16_t port,
                CFValue *password, MirroringAudioDisconnectedFn onDisconnected,
                MirroringConnection *connection, CFValue *deviceId) {
    // The start would free a connection still held in the slot: release it here first.
    StopInSlot(slot);
    return StartAudioConnection(slot, host, port, password, onDisconnected, connection, deviceId);
}

const MirroringAudioOps kGuardedAudioOps = {
    .start = StartInSlot,
    .stop = StopInSlot,
};

int State(void *, MirroringConnection *connection) {
    std::lock_guard<std::mutex> hold(slotLock);
    AudioConnection *audio = connection->audio.load();
    return audio ? audio->state.load() : 0;
}

int Failure(void *, MirroringConnection *connection) {
    std::lock_guard<std::mutex> hold(slotLock);
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
    (void)StartInSlot(&connection->audio, connection->host, connection->audioPort, password,
                      Disconnected, connection, connection->deviceId);
    CFValueRelease(password);
}

void Stop(void *, MirroringConnection *connection) {
    StopInSlot(&connection->audio);
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
    return &kGuardedAudioOps;
}
