#include "audio_stream/rtp_sender.h"

#include <cstdlib>
#include <cstring>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "mirroring/mirroring_connection.h"
#include "mirroring/stream_clock.h"

// Every codec streams at this rate.
constexpr int32_t kStreamSampleRate = 44100;

static void WriteBE16(uint8_t *out, uint16_t value) {
    out[0] = (uint8_t)(value >> 8);
    out[1] = (uint8_t)value;
}

static void WriteBE32(uint8_t *out, uint32_t value) {
    out[0] = (uint8_t)(value >> 24);
    out[1] = (uint8_t)(value >> 16);
    out[2] = (uint8_t)(value >> 8);
    out[3] = (uint8_t)value;
}

static uint16_t ReadBE16(const uint8_t *in) {
    return (uint16_t)(in[0] << 8 | in[1]);
}

void AudioSenderReset(AudioConnection *a) {
    std::lock_guard<std::mutex> hold(a->historyLock);
    a->firstSync = 1;
    a->sequence = 0;
    a->rtpTime = (uint32_t)-a->framesPerPacket;
    a->historyIndex = 0;
    a->historyCount = 0;
    AudioSyncClockReset(&a->syncClock);
    memset(a->historyLength, 0, sizeof a->historyLength);
}

void BuildSyncPacket(bool first, uint32_t rtpTimestamp, int32_t latency, uint64_t captureTime,
                     uint8_t out[kAudioSyncPacketLength]) {
    uint32_t seconds = (uint32_t)captureTime;
    uint64_t micros = captureTime >> 32;
    // The fraction divides by 999,999 so that the last microsecond of a second maps to the
    // largest fraction; a value past it would wrap into the next second, so it is held there.
    uint64_t fraction = micros * 4294967295ull / 999999ull;
    if (fraction > 0xFFFFFFFFull) fraction = 0xFFFFFFFFull;
    out[0] = first ? 0x90 : 0x80;
    out[1] = 0xD4;
    WriteBE16(out + 2, 0x0004);
    WriteBE32(out + 4, rtpTimestamp - (uint32_t)latency);
    WriteBE32(out + 8, (uint32_t)(seconds - (uint32_t)kStreamClockEpoch));
    WriteBE32(out + 12, (uint32_t)fraction);
    WriteBE32(out + 16, rtpTimestamp);
}

void SendAudioFrame(void *, const uint8_t *frame, int64_t length, uint64_t captureTime,
                    void *context) {
    AudioConnection *a = (AudioConnection *)context;
    if (!a || a->state.load() != kAudioStreaming) return;
    if (!frame || length <= 0 || (uint64_t)length > kAudioMaxPayload) {
        DebugLog(1, "Audio: dropped a frame of %lld bytes\n", (long long)length);
        return;
    }
    uint8_t packet[kAudioMaxPacket];
    uint32_t timestamp = a->rtpTime + (uint32_t)a->framesPerPacket;
    packet[0] = 0x80;
    packet[1] = 0x60; // payload type 96, no marker
    WriteBE16(packet + 2, a->sequence);
    WriteBE32(packet + 4, timestamp);
    WriteBE32(packet + 8, 0); // SSRC
    memcpy(packet + kAudioRtpHeader, frame, (size_t)length);
    size_t packetLength = kAudioRtpHeader + (size_t)length;

    // About once a second: every 91 packets of 480 samples, every 125 of 352.
    bool syncNow = a->sequence % (44100 / a->framesPerPacket) == 0;
    uint64_t syncTime =
        AudioSyncClockTake(&a->syncClock, captureTime, a->framesPerPacket, kStreamSampleRate,
                           syncNow, MirroringPictureDelayMicros(a->mirroring));
    if (syncNow) {
        // Logged when first set and when it has moved by 5 ms since.
        AudioSyncClock &clock = a->syncClock;
        if (clock.loggedShift < 0 || std::llabs(clock.shiftMicros - clock.loggedShift) >= 5000) {
            DebugLog(2, "Audio: sound stamped %.1f ms later than captured, to play with the picture\n",
                     clock.shiftMicros / 1000.0);
            clock.loggedShift = clock.shiftMicros;
        }
        uint8_t sync[kAudioSyncPacketLength];
        BuildSyncPacket(a->firstSync != 0, timestamp, a->latency.load(), syncTime, sync);
        a->firstSync = 0;
        (void)a->sendPacket(a, kAudioSyncKey, sync, sizeof sync);
    }
    // The last three packets again, most recent first, so that one lost datagram costs
    // the receiver nothing; the second packet already repeats the first. Only this thread
    // writes the history, so it reads it unlocked.
    int copies = a->historyCount < 3 ? a->historyCount : 3;
    for (int i = 1; i <= copies; i++) {
        int slot = (a->historyIndex - i + kAudioHistorySlots) % kAudioHistorySlots;
        (void)a->sendPacket(a, kAudioDataKey, a->history[slot], (size_t)a->historyLength[slot]);
    }
    {
        std::lock_guard<std::mutex> hold(a->historyLock);
        memcpy(a->history[a->historyIndex], packet, packetLength);
        a->historyLength[a->historyIndex] = (int32_t)packetLength;
        a->historyIndex = (a->historyIndex + 1) % kAudioHistorySlots;
        if (a->historyCount < kAudioHistorySlots) a->historyCount++;
    }
    a->sequence++;
    a->rtpTime += (uint32_t)a->framesPerPacket;
    (void)a->sendPacket(a, kAudioDataKey, packet, packetLength);
}

void HandleRetransmitRequest(SocketSet *, int key, const uint8_t *data, size_t length, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    if (!a || key != kAudioSyncKey || !data || length < kAudioRetransmitRequestMin) return;
    if (data[0] != 0x80 || data[1] != 0xD5) return;
    DebugLog(1, "Re-request\n");
    uint16_t first = ReadBE16(data + 4);
    uint16_t count = ReadBE16(data + 6);
    uint8_t resend[kAudioMaxPacket + 4];
    for (int offset = 0; offset < count; offset++) {
        DebugLog(1, "Searching for packet offset %i\n", offset);
        uint16_t wanted = (uint16_t)(first + offset);
        size_t found = 0;
        {
            std::lock_guard<std::mutex> hold(a->historyLock);
            int oldest =
                (a->historyIndex - a->historyCount + kAudioHistorySlots) % kAudioHistorySlots;
            for (int i = 0; i < a->historyCount; i++) {
                int slot = (oldest + i) % kAudioHistorySlots;
                uint16_t stored = ReadBE16(a->history[slot] + 2);
                DebugLog(1, "Checking %i vs %i\n", (int)stored, (int)wanted);
                if (stored != wanted) continue;
                found = (size_t)a->historyLength[slot];
                memcpy(resend + 4, a->history[slot], found);
                break;
            }
        }
        if (found) {
            resend[0] = 0x80;
            resend[1] = 0xD6;
            WriteBE16(resend + 2, wanted);
            (void)a->sendPacket(a, kAudioDataKey, resend, found + 4);
        }
        DebugLog(1, "Found: %i\n", found ? 1 : 0);
    }
}
