#include "tools/receiver/rx_audio_packets.h"

#include <cstring>

static uint16_t Be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}

static uint32_t Be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static uint64_t Be64(const uint8_t *p) {
    return (uint64_t)Be32(p) << 32 | Be32(p + 4);
}

static void PutBe16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

bool RtpAudioParse(const uint8_t *data, size_t length, RtpAudioView *out, std::string *error) {
    if (length < kRtpHeaderSize) {
        *error = "RTP packet of " + std::to_string(length) + " bytes, shorter than its header";
        return false;
    }
    if (data[0] != 0x80) {
        *error = "RTP first byte " + std::to_string(data[0]) + ", expected 0x80";
        return false;
    }
    if ((data[1] & 0x7f) != 96) {
        *error = "RTP payload type " + std::to_string(data[1] & 0x7f) + ", expected 96";
        return false;
    }
    out->marker = (data[1] & 0x80) != 0;
    out->sequence = Be16(data + 2);
    out->timestamp = Be32(data + 4);
    out->ssrc = Be32(data + 8);
    out->payload = data + kRtpHeaderSize;
    out->payloadLength = length - kRtpHeaderSize;
    if (out->payloadLength == 0) {
        *error = "RTP packet without a payload";
        return false;
    }
    return true;
}

bool RetransmitReplyParse(const uint8_t *data, size_t length, RtpAudioView *out,
                          std::string *error) {
    if (length < 4 || data[0] != 0x80 || data[1] != 0xD6) {
        *error = "not a retransmission answer (0x80 0xD6)";
        return false;
    }
    if (!RtpAudioParse(data + 4, length - 4, out, error)) {
        // The other layout: the stored packet right after the two bytes.
        RtpAudioView inner;
        std::string ignored;
        if (RtpAudioParse(data + 2, length - 2, &inner, &ignored))
            *error = "retransmission answer without the 16-bit sequence number in front (the "
                     "RTP header starts at byte 2)";
        else
            *error = "retransmission answer: " + *error;
        return false;
    }
    if (Be16(data + 2) != out->sequence) {
        *error = "retransmission answer for sequence " + std::to_string(Be16(data + 2)) +
                 " carries packet " + std::to_string(out->sequence);
        return false;
    }
    return true;
}

bool SyncParse(const uint8_t *data, size_t length, SyncPacket *out, std::string *error) {
    if (length != 20) {
        *error = "sync packet of " + std::to_string(length) + " bytes, expected 20";
        return false;
    }
    if ((data[0] != 0x80 && data[0] != 0x90) || data[1] != 0xD4) {
        *error = "not a sync packet (0x80/0x90 0xD4)";
        return false;
    }
    out->first = data[0] == 0x90;
    out->field2 = Be16(data + 2);
    out->rtpMinusLatency = Be32(data + 4);
    out->streamTime = Be64(data + 8);
    out->rtpTime = Be32(data + 16);
    return true;
}

size_t BuildRetransmitRequest(uint8_t *out, size_t length, uint16_t counter, uint16_t first,
                              uint16_t count) {
    if (length < 8) length = 8;
    memset(out, 0, length);
    out[0] = 0x80;
    out[1] = 0xD5;
    PutBe16(out + 2, counter);
    PutBe16(out + 4, first);
    PutBe16(out + 6, count);
    return length;
}

void BuildTimingRequest(uint8_t out[32], uint64_t sendTime) {
    memset(out, 0, 32);
    out[0] = 0x80;
    out[1] = 0xD2;
    out[3] = 0x07;
    for (int i = 0; i < 8; i++)
        out[24 + i] = (uint8_t)(sendTime >> (56 - 8 * i));
}

bool TimingReplyParse(const uint8_t *data, size_t length, TimingReply *out, std::string *error) {
    if (length != 32) {
        *error = "timing reply of " + std::to_string(length) + " bytes, expected 32";
        return false;
    }
    if (data[0] != 0x80 || data[1] != 0xD3) {
        *error = "timing reply does not start 0x80 0xD3";
        return false;
    }
    out->originate = Be64(data + 8);
    out->receive = Be64(data + 16);
    out->transmit = Be64(data + 24);
    return true;
}

// --- Reordering ------------------------------------------------------------------

// A jump this large is a new stream, not a gap to recover.
constexpr int64_t kMaxGap = 1000;
// At most this many frames (22 s) wait behind a missing one.
constexpr int64_t kMaxHeld = 2048;

void AudioReorderReset(AudioReorder *reorder) {
    std::set<uint16_t> dropList = reorder->dropList;
    double maxWait = reorder->maxWait;
    uint32_t frameSamples = reorder->frameSamples;
    AudioReorder fresh{};
    *reorder = std::move(fresh);
    reorder->dropList = dropList;
    reorder->frameSamples = frameSamples;
    reorder->maxWait = maxWait > 0 ? maxWait : 0.5;
}

// The extended sequence nearest to the highest one seen.
static int64_t Extend(const AudioReorder *reorder, uint16_t sequence) {
    if (!reorder->started) return sequence;
    int16_t delta = (int16_t)(uint16_t)(sequence - (uint16_t)reorder->highest);
    return reorder->highest + delta;
}

static uint32_t FrameSamples(const AudioReorder *r) {
    return r->frameSamples ? r->frameSamples : kAudioFrameSamples;
}

AudioPacketVerdict AudioReorderPacket(AudioReorder *r, uint16_t sequence, uint32_t timestamp,
                                      const uint8_t *payload, size_t length, bool retransmit,
                                      double now) {
    int64_t extended = Extend(r, sequence);
    if (!r->started) {
        r->started = true;
        r->nextRelease = extended;
        r->highest = extended - 1;
        r->lastTimestamp = timestamp - FrameSamples(r);
    } else if (extended - r->highest > kMaxGap || r->nextRelease - extended > kMaxGap) {
        // Not a gap: the sender started over. What is held is given up.
        r->jumps++;
        r->lost += r->missing.size();
        r->held.clear();
        r->missing.clear();
        r->asked.clear();
        r->nextRelease = extended;
        r->highest = extended - 1;
        r->lastTimestamp = timestamp - FrameSamples(r);
    }
    if (retransmit) {
        if (r->asked.erase(extended))
            r->retransmissionsAnswered++;
        else
            r->unsolicitedAnswers++;
    }
    if (extended < r->nextRelease) {
        if (retransmit || r->missing.count(extended)) return kAudioLate;
        // A packet whose place was given up is late; one released already is a copy.
        r->redundantCopies++;
        return kAudioDuplicate;
    }
    if (r->held.count(extended)) {
        if (!retransmit) r->redundantCopies++;
        return kAudioDuplicate;
    }
    if (!retransmit && r->dropList.count(sequence)) {
        bool firstTime = r->dropped.insert(sequence).second;
        if (firstTime)
            r->deliberateDrops++;
        else
            r->refusedCopies++;
        if (!r->missing.count(extended)) r->missing[extended] = {now, false, true};
        if (extended > r->highest) {
            for (int64_t s = r->highest + 1; s < extended; s++)
                if (!r->held.count(s) && !r->missing.count(s)) r->missing[s] = {now, false, false};
            r->highest = extended;
        }
        return kAudioRefused;
    }
    auto gap = r->missing.find(extended);
    if (gap != r->missing.end()) {
        if (!retransmit && !gap->second.asked) r->recoveredByCopy++;
        r->missing.erase(gap);
    }
    for (int64_t s = r->highest + 1; s < extended; s++)
        if (!r->held.count(s) && !r->missing.count(s)) r->missing[s] = {now, false, false};
    if (extended > r->highest) r->highest = extended;
    r->held[extended] =
        AudioReorder::Held{timestamp, std::vector<uint8_t>(payload, payload + length)};
    r->accepted++;
    return kAudioAccepted;
}

std::vector<std::pair<uint16_t, uint16_t>> AudioReorderTakeRequests(AudioReorder *r) {
    std::vector<std::pair<uint16_t, uint16_t>> ranges;
    int64_t first = -1, last = -1;
    for (auto &[sequence, gap] : r->missing) {
        if (gap.asked) continue;
        gap.asked = true;
        r->asked.insert(sequence);
        if (first >= 0 && sequence == last + 1 && sequence - first < 0xffff) {
            last = sequence;
            continue;
        }
        if (first >= 0) ranges.push_back({(uint16_t)first, (uint16_t)(last - first + 1)});
        first = last = sequence;
    }
    if (first >= 0) ranges.push_back({(uint16_t)first, (uint16_t)(last - first + 1)});
    return ranges;
}

std::vector<ReleasedFrame> AudioReorderRelease(AudioReorder *r, double now, bool flush) {
    std::vector<ReleasedFrame> out;
    while (r->started && r->nextRelease <= r->highest) {
        auto held = r->held.find(r->nextRelease);
        if (held != r->held.end()) {
            r->lastTimestamp = held->second.timestamp;
            out.push_back(
                {held->first, false, held->second.timestamp, std::move(held->second.payload)});
            r->held.erase(held);
            r->nextRelease++;
            continue;
        }
        auto gap = r->missing.find(r->nextRelease);
        double since = gap == r->missing.end() ? now : gap->second.since;
        // A peer racing far ahead cannot make the receiver hold frames without bound.
        bool tooFarBehind = r->highest - r->nextRelease >= kMaxHeld;
        if (!flush && !tooFarBehind && now - since < r->maxWait) break;
        // Given up: the decoder hears nothing for this frame.
        r->lost++;
        r->lastTimestamp += FrameSamples(r);
        out.push_back({r->nextRelease, true, r->lastTimestamp, {}});
        if (gap != r->missing.end()) r->missing.erase(gap);
        r->nextRelease++;
    }
    return out;
}
