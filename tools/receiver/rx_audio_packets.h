// The audio stream's UDP datagrams (RTP audio, sync, retransmission requests and
// answers, 32-byte timing exchange) and the receiver's reordering and loss logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

constexpr int kAudioSampleRate = 44100;
constexpr int kAudioFrameSamples = 480;
constexpr size_t kRtpHeaderSize = 12;

// One RTP audio packet: 0x80 0x60, sequence, timestamp, SSRC, then the AAC-ELD frame.
struct RtpAudioView {
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    bool marker;
    const uint8_t *payload;
    size_t payloadLength;
};
[[nodiscard]] bool RtpAudioParse(const uint8_t *data, size_t length, RtpAudioView *out,
                                 std::string *error);

// A retransmission answer: 0x80 0xD6, the 16-bit sequence number, then the stored RTP
// packet. The sequence number in front must match the packet's own.
[[nodiscard]] bool RetransmitReplyParse(const uint8_t *data, size_t length, RtpAudioView *out,
                                        std::string *error);

// Sync packet, 20 bytes: 0x90 (first) or 0x80, 0xD4, 0x0004, RTP time minus the latency,
// the stream clock (32.32) and the RTP time it belongs to.
struct SyncPacket {
    bool first; // 0x90
    uint16_t field2;
    uint32_t rtpMinusLatency;
    uint64_t streamTime; // 32.32 fixed point
    uint32_t rtpTime;
};
[[nodiscard]] bool SyncParse(const uint8_t *data, size_t length, SyncPacket *out,
                             std::string *error);

// Retransmission request 0x80 0xD5: counter at bytes 2-3, first missing sequence at 4-5,
// count at 6-7, zero padding up to length (at least 8). Returns the bytes written.
size_t BuildRetransmitRequest(uint8_t *out, size_t length, uint16_t counter, uint16_t first,
                              uint16_t count);

// 32-byte timing request 0x80 0xD2 0x00 0x07 with the send time at bytes 24-31.
void BuildTimingRequest(uint8_t out[32], uint64_t sendTime);
struct TimingReply {
    uint64_t originate; // bytes 8-15: our send time echoed
    uint64_t receive;   // bytes 16-23
    uint64_t transmit;  // bytes 24-31
};
[[nodiscard]] bool TimingReplyParse(const uint8_t *data, size_t length, TimingReply *out,
                                    std::string *error);

// Reordering, deliberate loss and recovery of the audio packets, by sequence number.
// Sequence numbers are extended to 64 bits so a stream may wrap.
struct AudioReorder {
    bool started;
    int64_t nextRelease;    // extended sequence of the next frame handed to the decoder
    int64_t highest;        // highest extended sequence seen
    uint32_t lastTimestamp; // of the last frame released (a lost frame takes the next slot)
    struct Held {
        uint32_t timestamp;
        std::vector<uint8_t> payload;
    };
    std::map<int64_t, Held> held;
    struct Missing {
        double since;    // when the gap was seen
        bool asked;      // a retransmission request went out
        bool deliberate; // refused on purpose (--drop-audio)
    };
    std::map<int64_t, Missing> missing;
    std::set<uint16_t> dropList; // refused when first seen
    std::set<uint16_t> dropped;  // of dropList: refused already (copies are refused too)
    std::set<int64_t> asked;     // asked for and not yet answered
    double maxWait;              // seconds a missing frame may hold up the ones after it
    uint32_t frameSamples;       // RTP time per packet (480 when 0)
    // Counts.
    uint64_t accepted;
    uint64_t redundantCopies; // packets seen again (the sender's redundant re-sends)
    uint64_t refusedCopies;   // copies of a deliberately dropped packet, refused
    uint64_t deliberateDrops;
    uint64_t recoveredByCopy; // a gap filled by a redundant copy
    uint64_t retransmissionsAnswered;
    uint64_t unsolicitedAnswers; // answers for packets not asked for or already held
    uint64_t late;               // arrived after their place was given up
    uint64_t lost;               // given up: never arrived in time
    uint64_t jumps;              // sequence jumps too large to be a gap (a new stream)
};

void AudioReorderReset(AudioReorder *reorder);

enum AudioPacketVerdict {
    kAudioAccepted,
    kAudioDuplicate, // a copy of a packet already held or released
    kAudioRefused,   // deliberately dropped
    kAudioLate,      // its place was given up already
};
// One packet from the data port (retransmit false) or a retransmission answer.
AudioPacketVerdict AudioReorderPacket(AudioReorder *reorder, uint16_t sequence, uint32_t timestamp,
                                      const uint8_t *payload, size_t length, bool retransmit,
                                      double now);

// Ranges of missing packets not asked for yet, each as (first, count); marks them asked.
std::vector<std::pair<uint16_t, uint16_t>> AudioReorderTakeRequests(AudioReorder *reorder);

struct ReleasedFrame {
    int64_t sequence;
    bool lost; // no payload: the frame never came
    uint32_t timestamp;
    std::vector<uint8_t> payload;
};
// Frames ready in sequence order. A missing frame is given up once it has held up the
// stream for maxWait seconds, or at once when flush is set (end of stream).
std::vector<ReleasedFrame> AudioReorderRelease(AudioReorder *reorder, double now, bool flush);
