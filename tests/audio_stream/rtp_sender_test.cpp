// The RTP sender on its own: what each frame puts on the wire, and the answers to
// retransmission requests, recorded through the connection's packet hook. Also the pure
// pieces of the RTSP negotiation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "audio_stream/audio_connection.h"
#include "audio_stream/rtp_sender.h"
#include "base/log.h"
#include "base/thread.h"
#include "mirroring/mirroring_connection.h"
#include "net/http.h"
#include "test_support.h"

namespace {

struct Sent {
    int key;
    std::vector<uint8_t> bytes;
};

std::mutex sentLock;
std::vector<Sent> sent;

int Record(AudioConnection *, int key, const uint8_t *data, size_t length) {
    std::lock_guard<std::mutex> hold(sentLock);
    sent.push_back({key, std::vector<uint8_t>(data, data + length)});
    return 1;
}

std::vector<Sent> TakeSent() {
    std::lock_guard<std::mutex> hold(sentLock);
    std::vector<Sent> out;
    out.swap(sent);
    return out;
}

uint32_t BE32(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}
uint16_t BE16(const std::vector<uint8_t> &b, size_t at) {
    return (uint16_t)(b[at] << 8 | b[at + 1]);
}

// A frame whose bytes all carry its number, so that any copy can be told apart.
std::vector<uint8_t> Frame(int number, size_t length = 40) {
    return std::vector<uint8_t>(length, (uint8_t)(number * 7 + 1));
}

uint64_t CaptureTime(uint32_t seconds, uint32_t micros) {
    return (uint64_t)micros << 32 | seconds;
}

// Capture time at start plus the length of n packets (480 samples at 44100 Hz each).
uint64_t CaptureTimeAfter(int64_t startMicros, int64_t packets) {
    int64_t t = startMicros + packets * 480 * 1000000 / 44100;
    return CaptureTime((uint32_t)(t / 1000000), (uint32_t)(t % 1000000));
}

// The Unix microseconds a sync packet carries (the fraction read back with the divisor
// it was written with, so within a microsecond).
int64_t SyncMicros(const std::vector<uint8_t> &sync) {
    int64_t seconds = (int64_t)BE32(sync, 8) + 1329095810;
    return seconds * 1000000 + (int64_t)std::llround(BE32(sync, 12) * 999999.0 / 4294967295.0);
}

class RtpSenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        audio = std::make_unique<AudioConnection>();
        audio->sendPacket = Record;
        audio->state = kAudioStreaming;
        AudioSenderReset(audio.get());
        TakeSent();
    }
    void Push(int number, uint64_t captureTime = CaptureTime(1700000000, 0)) {
        std::vector<uint8_t> f = Frame(number);
        SendAudioFrame(nullptr, f.data(), (int64_t)f.size(), captureTime, audio.get());
    }
    void Request(int key, uint16_t first, uint16_t count, size_t length = 18) {
        std::vector<uint8_t> r(length, 0);
        r[0] = 0x80;
        r[1] = 0xD5;
        if (length >= 8) {
            r[4] = (uint8_t)(first >> 8);
            r[5] = (uint8_t)first;
            r[6] = (uint8_t)(count >> 8);
            r[7] = (uint8_t)count;
        }
        HandleRetransmitRequest(nullptr, key, r.data(), r.size(), audio.get());
    }
    LogCapture log;
    std::unique_ptr<AudioConnection> audio;
};

TEST_F(RtpSenderTest, FramesBecomePacketsWithSyncAndRedundantCopies) {
    audio->latency = 2205;
    Push(0, CaptureTime(1700000000, 999999));
    std::vector<Sent> first = TakeSent();
    ASSERT_EQ(2u, first.size());
    // The first packet of the stream follows a sync packet marked as the first.
    const std::vector<uint8_t> &sync = first[0].bytes;
    EXPECT_EQ(kAudioSyncKey, first[0].key);
    ASSERT_EQ(20u, sync.size());
    EXPECT_EQ(0x90D40004u, BE32(sync, 0));
    EXPECT_EQ(0xFFFFF763u, BE32(sync, 4)); // 0 - 2205
    EXPECT_EQ(1700000000u - 1329095810u, BE32(sync, 8));
    EXPECT_EQ(0xFFFFFFFFu, BE32(sync, 12)); // 999,999 us is the whole range
    EXPECT_EQ(0u, BE32(sync, 16));
    const std::vector<uint8_t> &packet = first[1].bytes;
    EXPECT_EQ(kAudioDataKey, first[1].key);
    ASSERT_EQ(52u, packet.size());
    EXPECT_EQ(0x80600000u, BE32(packet, 0)); // sequence 0
    EXPECT_EQ(0u, BE32(packet, 4));
    EXPECT_EQ(0u, BE32(packet, 8));
    EXPECT_EQ(Frame(0), std::vector<uint8_t>(packet.begin() + 12, packet.end()));

    // Each new packet is preceded by the (up to) three before it, most recent first.
    for (int n = 1; n <= 4; n++) {
        Push(n, CaptureTimeAfter(1700000000999999, n));
        std::vector<Sent> out = TakeSent();
        size_t copies = n < 3 ? n : 3;
        ASSERT_EQ(copies + 1, out.size()) << n;
        for (size_t i = 0; i < out.size(); i++) {
            EXPECT_EQ(kAudioDataKey, out[i].key);
            uint16_t expected = i < copies ? (uint16_t)(n - 1 - i) : (uint16_t)n;
            EXPECT_EQ(expected, BE16(out[i].bytes, 2)) << n << " " << i;
            EXPECT_EQ(expected * 480u, BE32(out[i].bytes, 4));
            EXPECT_EQ(Frame(expected)[0], out[i].bytes[12]);
        }
    }

    // The next sync comes with sequence 91 and is no longer marked as the first. Frames
    // come a packet's length apart, so it carries the first one's time plus 91 packets.
    std::vector<Sent> syncs;
    for (int n = 5; n <= 182; n++) {
        Push(n, CaptureTimeAfter(1700000000999999, n));
        for (Sent &s : TakeSent())
            if (s.key == kAudioSyncKey) syncs.push_back(s);
    }
    ASSERT_EQ(2u, syncs.size());
    EXPECT_EQ(0x80D40004u, BE32(syncs[0].bytes, 0));
    EXPECT_EQ(43680u - 2205u, BE32(syncs[0].bytes, 4));
    EXPECT_NEAR(1700000000999999 + 43680 * 1000000ll / 44100, SyncMicros(syncs[0].bytes), 1);
    EXPECT_EQ(43680u, BE32(syncs[0].bytes, 16));
    EXPECT_EQ(182u * 480u, BE32(syncs[1].bytes, 16));

    // Frames outside streaming, empty or larger than a packet holds, send nothing.
    std::vector<uint8_t> big(kAudioMaxPayload + 1, 1);
    SendAudioFrame(nullptr, big.data(), (int64_t)big.size(), 0, audio.get());
    SendAudioFrame(nullptr, big.data(), 0, 0, audio.get());
    audio->state = kAudioTearingDown;
    Push(999);
    EXPECT_TRUE(TakeSent().empty());
}

// Sync packets tie RTP time to when the sound was captured, without the hand-over's
// jitter (the sound server delivers packets in bursts, the capture thread wakes late), and
// that much later again as the picture is old when stamped: taken at once by the first,
// then followed a step per sync packet, within bounds.
TEST_F(RtpSenderTest, SyncPacketsCarrySteadyCaptureTimesShiftedByThePictureDelay) {
    MirroringConnection mirroring;
    audio->mirroring = &mirroring;
    mirroring.pictureDelayMicros = 30000;
    const int64_t start = 1700000000000000; // the earliest a packet could be handed over
    std::vector<int64_t> syncs;
    for (int n = 0; n < 91 * 12; n++) {
        // Every other packet waits for the next (pairs come at once), one in seven a
        // further 0 to 24 ms; packets 400 to 440 are all late by 30 ms.
        int64_t late = (n % 2 == 1 ? 10884 : 0) + (n % 7 == 3 ? (n * 7919) % 25000 : 0) +
                       (n >= 400 && n <= 440 ? 30000 : 0);
        int64_t at = start + n * 480 * 1000000ll / 44100 + late;
        if (n == 91 * 3) mirroring.pictureDelayMicros = 40000;
        if (n == 91 * 9) mirroring.pictureDelayMicros = 900000;
        Push(n, CaptureTime((uint32_t)(at / 1000000), (uint32_t)(at % 1000000)));
        for (Sent &s : TakeSent())
            if (s.key == kAudioSyncKey) syncs.push_back(SyncMicros(s.bytes));
    }
    ASSERT_EQ(12u, syncs.size());
    // Sync k is for packet 91 k; its own hand-over time does not matter.
    std::vector<int64_t> shifts;
    for (size_t k = 0; k < syncs.size(); k++)
        shifts.push_back(syncs[k] - (start + (int64_t)k * 91 * 480 * 1000000ll / 44100));
    for (size_t k = 0; k < 3; k++)
        EXPECT_NEAR(30000, shifts[k], 1) << k;
    // From 30 to 40 ms in 2 ms steps, then steady.
    for (size_t k = 3; k < 9; k++)
        EXPECT_NEAR(std::min<int64_t>(40000, 30000 + 2000 * (int64_t)(k - 2)), shifts[k], 1) << k;
    for (size_t k = 9; k < 12; k++)
        EXPECT_NEAR(40000 + 2000 * (int64_t)(k - 8), shifts[k], 1) << k;
    // Two seconds of sound lost (the sound server restarted) a little after a sync packet:
    // the next one is stamped on the new footing.
    for (int n = 91 * 12; n <= 91 * 13; n++) {
        int64_t lost = n >= 91 * 12 + 20 ? 2000000 : 0;
        int64_t at = start + lost + n * 480 * 1000000ll / 44100 + (n % 2 == 1 ? 10884 : 0);
        Push(n, CaptureTime((uint32_t)(at / 1000000), (uint32_t)(at % 1000000)));
        for (Sent &s : TakeSent())
            if (s.key == kAudioSyncKey) syncs.push_back(SyncMicros(s.bytes));
    }
    ASSERT_EQ(14u, syncs.size());
    EXPECT_NEAR(start + 2000000 + 91 * 13 * 480 * 1000000ll / 44100 + 50000, syncs[13], 1);
    audio->mirroring = nullptr;

    // Bounds: never below 0 nor above 200 ms; an unknown delay keeps the shift.
    EXPECT_EQ(kAudioSyncShiftMaxMicros, AudioSyncShiftNext(0, 900000, true));
    EXPECT_EQ(0, AudioSyncShiftNext(1000, 0, false));
    EXPECT_EQ(kAudioSyncShiftMaxMicros, AudioSyncShiftNext(kAudioSyncShiftMaxMicros - 500, 900000, false));
    EXPECT_EQ(12345, AudioSyncShiftNext(12345, -1, false));
    EXPECT_EQ(0, AudioSyncShiftNext(0, -1, true));
}

TEST_F(RtpSenderTest, RetransmissionsComeFromTheLastTwentyPackets) {
    for (int n = 0; n < 25; n++)
        Push(n);
    TakeSent();
    // Packets 5 to 24 are held: 10 and 11 go out again behind 0x80 0xD6 and their number.
    Request(kAudioSyncKey, 10, 2);
    std::vector<Sent> out = TakeSent();
    ASSERT_EQ(2u, out.size());
    for (int i = 0; i < 2; i++) {
        const std::vector<uint8_t> &r = out[i].bytes;
        EXPECT_EQ(kAudioDataKey, out[i].key);
        ASSERT_EQ(4u + 52u, r.size());
        EXPECT_EQ(0x80, r[0]);
        EXPECT_EQ(0xD6, r[1]);
        EXPECT_EQ(10 + i, BE16(r, 2));
        EXPECT_EQ(0x8060, BE16(r, 4));
        EXPECT_EQ(10 + i, BE16(r, 6));
        EXPECT_EQ((10u + i) * 480u, BE32(r, 8));
        EXPECT_EQ(Frame(10 + i), std::vector<uint8_t>(r.begin() + 16, r.end()));
    }
    EXPECT_EQ(2u, [&] {
        std::string text = log.Text();
        size_t count = 0;
        for (size_t at = 0; (at = text.find("Found: 1", at)) != std::string::npos; at++)
            count++;
        return count;
    }());

    // The common 8-byte request is answered like a long one.
    Request(kAudioSyncKey, 12, 1, 8);
    {
        std::vector<Sent> sent = TakeSent();
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(12, (sent[0].bytes[2] << 8) | sent[0].bytes[3]);
    }

    // The history's edge: 4 has left it, 5 (twenty packets back) is still there.
    Request(kAudioSyncKey, 4, 2);
    out = TakeSent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(5, BE16(out[0].bytes, 2));
    EXPECT_TRUE(log.Contains("Found: 0"));
    // A short request, another slot: nothing.
    std::string before = log.Text();
    Request(kAudioSyncKey, 10, 1, 7);
    Request(kAudioDataKey, 10, 1);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(before, log.Text());

    // Sequence numbers wrap: a request across 65535 -> 0 finds both sides.
    audio->sequence = 65534;
    Push(30);
    Push(31);
    Push(32);
    TakeSent();
    Request(kAudioSyncKey, 65535, 2);
    out = TakeSent();
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(65535, BE16(out[0].bytes, 2));
    EXPECT_EQ(0, BE16(out[1].bytes, 2));
}

// The capture thread keeps writing the history while the receive thread answers requests:
// every packet answered must be one whole stored packet, never a slot caught mid-write.
TEST_F(RtpSenderTest, RetransmissionsNeverSeeAHalfWrittenPacket) {
    LogLevelThreshold = 2; // the search lines of thousands of requests say nothing here
    struct Writer {
        AudioConnection *audio;
        std::atomic<int> pushed{0};
        std::atomic<int> done{0};
    } writer{audio.get()};
    Thread thread{};
    ASSERT_TRUE(ThreadStart(
        &thread, "rtp-writer",
        [](void *arg) {
            Writer *w = (Writer *)arg;
            for (int n = 0; n < 4000; n++) {
                // Long frames make a torn copy likely if the slot were not guarded.
                std::vector<uint8_t> f = Frame(n, 30000);
                SendAudioFrame(nullptr, f.data(), (int64_t)f.size(), 0, w->audio);
                w->pushed = n + 1;
            }
            w->done = 1;
        },
        &writer));
    int answered = 0;
    while (!writer.done.load()) {
        // The oldest packets: their slots are the next to be overwritten.
        uint16_t next = (uint16_t)writer.pushed.load();
        Request(kAudioSyncKey, (uint16_t)(next - 21), 4);
        std::vector<Sent> out = TakeSent();
        for (const Sent &s : out) {
            if (s.bytes[0] != 0x80 || s.bytes[1] != 0xD6) continue;
            answered++;
            uint16_t number = BE16(s.bytes, 2);
            ASSERT_EQ(number, BE16(s.bytes, 6));
            uint8_t fill = Frame(number)[0];
            for (size_t i = 16; i < s.bytes.size(); i++)
                ASSERT_EQ(fill, s.bytes[i]) << "packet " << number << " byte " << i;
        }
    }
    ThreadJoin(&thread);
    EXPECT_GT(answered, 0);
}

HttpMessage Response(const char *name, const char *value, const char **names, const char **values) {
    names[0] = name;
    values[0] = value;
    HttpMessage m{};
    m.statusCode = 200;
    m.headers = {names, values, name ? 1 : 0};
    return m;
}

TEST(RtspPieces, TransportLatencySdpAndTrackInfo) {
    LogCapture log;
    const char *names[1], *values[1];
    AudioPorts ports{};
    HttpMessage m = Response("transport",
                             "RTP/AVP/UDP;unicast;mode=screen;server_port=6000;control_port=6001;"
                             "timing_port=6002",
                             names, values);
    ParseTransportPorts(&m, &ports);
    EXPECT_EQ(6000, ports.serverPort);
    EXPECT_EQ(6001, ports.controlPort);
    EXPECT_EQ(6002, ports.timingPort);
    EXPECT_EQ(0, ports.eventPort);
    // Numbers that no port has, or that are not numbers, leave the port at 0.
    m = Response("Transport",
                 "server_port=70000;control_port=-1;event_port=12x;timing_port=", names, values);
    ParseTransportPorts(&m, &ports);
    EXPECT_EQ(0, ports.serverPort);
    EXPECT_EQ(0, ports.controlPort);
    EXPECT_EQ(0, ports.timingPort);
    EXPECT_EQ(0, ports.eventPort);
    m = Response("Transport", "event_port=5000;server_port=1;server_port=2", names, values);
    ParseTransportPorts(&m, &ports);
    EXPECT_EQ(5000, ports.eventPort);
    EXPECT_EQ(2, ports.serverPort);
    m = Response(nullptr, nullptr, names, values);
    ParseTransportPorts(&m, &ports);
    EXPECT_EQ(0, ports.eventPort);

    EXPECT_EQ(2205, AudioLatencyFromResponse(&m));
    m = Response("audio-latency", "11025", names, values);
    EXPECT_EQ(11025, AudioLatencyFromResponse(&m));
    for (const char *bad : {"0", "-5", "abc", "99999999999", "441001"}) {
        m = Response("Audio-Latency", bad, names, values);
        EXPECT_EQ(2205, AudioLatencyFromResponse(&m)) << bad;
    }

    char sdp[640];
    ASSERT_GT(BuildAudioSdp(1234, kAudioCodecAacEld, sdp, sizeof sdp), 0u);
    EXPECT_STREQ("v=0\r\no=AirTunes 1234 0 IN IP4 10.0.0.2\r\ns=AirTunes\r\nc=IN IP4 10.0.0.2\r\n"
                 "t=0 0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 mpeg4-generic/44100/2\r\n"
                 "a=fmtp:96 mode=AAC-eld; constantDuration=480\r\na=min-latency:4100\r\n"
                 "m=video 0 RTP/AVP 97\r\na=rtmap:97 H264\r\na=fmtp:97\r\n",
                 sdp);
    EXPECT_EQ(0u, BuildAudioSdp(1234, kAudioCodecAacEld, sdp, 20));
    // Speakers: the lossless formats' own lines, no video.
    ASSERT_GT(BuildAudioSdp(7, kAudioCodecAlac, sdp, sizeof sdp), 0u);
    EXPECT_STREQ("v=0\r\no=AirTunes 7 0 IN IP4 10.0.0.2\r\ns=AirTunes\r\nc=IN IP4 10.0.0.2\r\n"
                 "t=0 0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 AppleLossless\r\n"
                 "a=fmtp:96 352 0 16 40 10 14 2 255 0 0 44100\r\n",
                 sdp);
    ASSERT_GT(BuildAudioSdp(7, kAudioCodecPcm, sdp, sizeof sdp), 0u);
    EXPECT_NE(strstr(sdp, "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/44100/2\r\n"), nullptr);
    EXPECT_EQ(strstr(sdp, "video"), nullptr);
    EXPECT_EQ(480, AudioFramesPerPacket(kAudioCodecAacEld));
    EXPECT_EQ(352, AudioFramesPerPacket(kAudioCodecAlac));
    EXPECT_EQ(352, AudioFramesPerPacket(kAudioCodecPcm));

    uint8_t body[64];
    ASSERT_EQ(47u, BuildTrackInfo("OFFICE-PC", body, sizeof body));
    const uint8_t expected[] = {'m', 'l', 'i', 't', 0,   0,   0,   39,  'a', 's', 'a', 'l',
                                0,   0,   0,   0,   'a', 's', 'a', 'r', 0,   0,   0,   6,
                                'O', 's', 't', 'r', 'e', 'l', 'm', 'i', 'n', 'm', 0,   0,
                                0,   9,   'O', 'F', 'F', 'I', 'C', 'E', '-', 'P', 'C'};
    EXPECT_EQ(0, memcmp(expected, body, sizeof expected));
    EXPECT_EQ(0u, BuildTrackInfo("OFFICE-PC", body, 46));
}

} // namespace
