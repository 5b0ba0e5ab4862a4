// The RTP side of an AudioConnection: every encoded frame becomes one RTP packet to the
// receiver's data port, preceded about once a second by a sync packet to its control port
// that ties RTP time to the stream clock, and by redundant copies of the last three packets.
// The last 20 packets stay in a history from which the receiver's retransmission requests
// are answered.
//
// Threads: SendAudioFrame runs on the system-audio capture thread, HandleRetransmitRequest
// on the set's receive thread; the history lock keeps the reader off a slot being written.
#pragma once

#include <cstddef>
#include <cstdint>

struct AudioConnection;
struct SocketSet;

constexpr size_t kAudioSyncPacketLength = 20;
constexpr size_t kAudioRetransmitRequestMin = 18;

// A new stream: firstSync 1, sequence 0, rtpTime such that the first packet carries 0, and
// an empty history. Call before frames may arrive.
void AudioSenderReset(AudioConnection *audio);
// The system-audio frame handler: context is the AudioConnection. Frames outside streaming,
// empty ones and ones larger than a packet holds are dropped. Allocates nothing.
void SendAudioFrame(void *driver, const uint8_t *frame, int64_t length, uint64_t captureTime,
                    void *context);
// The set's onRawData: answers a retransmission request from the sync slot with the packets
// still in the history, each behind 0x80 0xD6 and its 16-bit sequence number.
void HandleRetransmitRequest(SocketSet *set, int key, const uint8_t *data, size_t length,
                             void *user);

// The sync packet for the packet with rtpTimestamp, captured at captureTime (Unix seconds in
// the low 32 bits, microseconds in the high 32 bits).
void BuildSyncPacket(bool first, uint32_t rtpTimestamp, int32_t latency, uint64_t captureTime,
                     uint8_t out[kAudioSyncPacketLength]);
