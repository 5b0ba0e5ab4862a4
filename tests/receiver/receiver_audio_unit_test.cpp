// The audio side's parsers, its reordering and recovery, and the sync-test arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/receiver/test_support.h"
#include "tools/receiver/rx_audio.h"
#include "tools/receiver/rx_audio_packets.h"
#include "tools/receiver/rx_avsync.h"
#include "tools/receiver/rx_rtsp.h"

namespace {

std::vector<uint8_t> RtpPacket(uint16_t sequence, uint32_t timestamp, size_t payload) {
    std::vector<uint8_t> p = {0x80,
                              0x60,
                              (uint8_t)(sequence >> 8),
                              (uint8_t)sequence,
                              (uint8_t)(timestamp >> 24),
                              (uint8_t)(timestamp >> 16),
                              (uint8_t)(timestamp >> 8),
                              (uint8_t)timestamp,
                              0,
                              0,
                              0,
                              0};
    for (size_t i = 0; i < payload; i++)
        p.push_back((uint8_t)(i + sequence));
    return p;
}

TEST(ReceiverAudioPackets, ReadsDataSyncRetransmitAndTimingForms) {
    std::string error;
    RtpAudioView view;
    std::vector<uint8_t> packet = RtpPacket(0x1234, 0xFFFFFE20, 5);
    ASSERT_TRUE(RtpAudioParse(packet.data(), packet.size(), &view, &error)) << error;
    EXPECT_EQ(view.sequence, 0x1234);
    EXPECT_EQ(view.timestamp, 0xFFFFFE20u);
    EXPECT_EQ(view.payloadLength, 5u);
    EXPECT_EQ(view.payload[0], packet[12]);
    EXPECT_FALSE(RtpAudioParse(packet.data(), 12, &view, &error)); // no payload
    EXPECT_FALSE(RtpAudioParse(packet.data(), 11, &view, &error));
    packet[1] = 0x61;
    EXPECT_FALSE(RtpAudioParse(packet.data(), packet.size(), &view, &error));
    packet[1] = 0x60;

    // Answer: 0x80 0xD6, the sequence, the stored packet.
    std::vector<uint8_t> answer = {0x80, 0xD6, 0x12, 0x34};
    answer.insert(answer.end(), packet.begin(), packet.end());
    ASSERT_TRUE(RetransmitReplyParse(answer.data(), answer.size(), &view, &error)) << error;
    EXPECT_EQ(view.sequence, 0x1234);
    EXPECT_EQ(view.payloadLength, 5u);
    answer[3] = 0x35;
    EXPECT_FALSE(RetransmitReplyParse(answer.data(), answer.size(), &view, &error));
    EXPECT_NE(error.find("carries packet"), std::string::npos) << error;
    // The stored packet right behind the two bytes is named as such, not decoded.
    std::vector<uint8_t> shortForm = {0x80, 0xD6};
    shortForm.insert(shortForm.end(), packet.begin(), packet.end());
    shortForm.push_back(0);
    shortForm.push_back(0);
    EXPECT_FALSE(RetransmitReplyParse(shortForm.data(), shortForm.size(), &view, &error));
    EXPECT_NE(error.find("byte 2"), std::string::npos) << error;

    uint8_t sync[20] = {0x90, 0xD4, 0,    4, 0xFF, 0xFF, 0xF7, 0x63, 0, 0,
                        0,    1,    0x80, 0, 0,    0,    0,    0,    0, 0};
    SyncPacket parsed;
    ASSERT_TRUE(SyncParse(sync, 20, &parsed, &error)) << error;
    EXPECT_TRUE(parsed.first);
    EXPECT_EQ(parsed.rtpMinusLatency, 0u - 2205u);
    EXPECT_EQ(parsed.streamTime, (1ull << 32) | 0x80000000ull);
    EXPECT_EQ(parsed.rtpTime, 0u);
    EXPECT_FALSE(SyncParse(sync, 19, &parsed, &error));
    sync[0] = 0xA0;
    EXPECT_FALSE(SyncParse(sync, 20, &parsed, &error));

    uint8_t request[18];
    ASSERT_EQ(BuildRetransmitRequest(request, 18, 1, 65535, 3), 18u);
    const uint8_t expected[8] = {0x80, 0xD5, 0, 1, 0xFF, 0xFF, 0, 3};
    EXPECT_EQ(memcmp(request, expected, 8), 0);
    EXPECT_EQ(request[17], 0);

    uint8_t timing[32];
    BuildTimingRequest(timing, 0x0102030405060708ull);
    EXPECT_EQ(timing[1], 0xD2);
    EXPECT_EQ(timing[31], 0x08);
    uint8_t reply[32] = {0x80, 0xD3};
    memcpy(reply + 8, timing + 24, 8);
    TimingReply read;
    ASSERT_TRUE(TimingReplyParse(reply, 32, &read, &error));
    EXPECT_EQ(read.originate, 0x0102030405060708ull);
    EXPECT_FALSE(TimingReplyParse(reply, 31, &read, &error));
}

// Drops, copies, answers, reordering, giving up and the sequence wrap, on one stream.
TEST(ReceiverAudioReorder, RecoversDroppedPacketsInOrderAndGivesUpOnMissingOnes) {
    AudioReorder r{};
    r.dropList = {65535, 2};
    r.maxWait = 0.5;
    AudioReorderReset(&r);
    uint8_t payload[3] = {1, 2, 3};
    auto packet = [&](uint16_t sequence, bool retransmit, double now) {
        return AudioReorderPacket(&r, sequence, (uint32_t)(uint16_t)(sequence + 10) * 480u, payload,
                                  3, retransmit, now);
    };
    // The stream starts just before the wrap; 65535 is refused, and so are its copies.
    EXPECT_EQ(packet(65534, false, 0), kAudioAccepted);
    EXPECT_EQ(packet(65535, false, 0), kAudioRefused);
    EXPECT_EQ(packet(65534, false, 0), kAudioDuplicate);
    EXPECT_EQ(packet(65535, false, 0), kAudioRefused);
    EXPECT_EQ(packet(0, false, 0), kAudioAccepted);
    EXPECT_EQ(packet(2, false, 0), kAudioRefused); // 1 is missing too: a gap of two
    auto requests = AudioReorderTakeRequests(&r);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (std::pair<uint16_t, uint16_t>(65535, 1)));
    EXPECT_EQ(requests[1], (std::pair<uint16_t, uint16_t>(1, 2)));
    EXPECT_TRUE(AudioReorderTakeRequests(&r).empty());    // asked once only
    EXPECT_EQ(packet(65535, false, 0.05), kAudioRefused); // a copy after the request

    // Nothing passes the hole before the wait is over.
    auto released = AudioReorderRelease(&r, 0.1, false);
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ((uint16_t)released[0].sequence, 65534);
    EXPECT_EQ(packet(65535, true, 0.1), kAudioAccepted); // the answer
    EXPECT_EQ(packet(65535, false, 0.1), kAudioDuplicate);
    released = AudioReorderRelease(&r, 0.1, false);
    ASSERT_EQ(released.size(), 2u);
    EXPECT_EQ((uint16_t)released[0].sequence, 65535);
    EXPECT_EQ((uint16_t)released[1].sequence, 0);
    EXPECT_EQ(released[1].timestamp, 10u * 480u);
    EXPECT_EQ(packet(65535, false, 0.1), kAudioDuplicate); // a copy after its release

    // 1 comes as a late copy; 2 never comes and is given up after the wait.
    EXPECT_EQ(packet(3, false, 0.2), kAudioAccepted);
    EXPECT_EQ(packet(1, false, 0.2), kAudioAccepted);
    EXPECT_EQ(AudioReorderRelease(&r, 0.3, false).size(), 1u);
    released = AudioReorderRelease(&r, 0.6, false);
    ASSERT_EQ(released.size(), 2u);
    EXPECT_TRUE(released[0].lost);
    EXPECT_EQ((uint16_t)released[0].sequence, 2);
    EXPECT_EQ(released[0].timestamp, 12u * 480u);
    EXPECT_FALSE(released[1].lost);
    EXPECT_EQ(released[1].payload.size(), 3u);
    EXPECT_EQ(packet(2, true, 0.7), kAudioLate);
    EXPECT_EQ(packet(3, true, 0.7), kAudioLate); // answered without being asked
    EXPECT_EQ(r.retransmissionsAnswered, 2u);    // 65535, and 2 too late
    EXPECT_EQ(r.unsolicitedAnswers, 1u);
    EXPECT_EQ(r.deliberateDrops, 2u);
    EXPECT_EQ(r.refusedCopies, 2u);
    EXPECT_EQ(r.redundantCopies, 3u);
    EXPECT_EQ(r.lost, 1u);

    // A jump far ahead is a new stream, not thousands of missing packets.
    EXPECT_EQ(packet(30000, false, 1), kAudioAccepted);
    EXPECT_EQ(r.jumps, 1u);
    EXPECT_TRUE(AudioReorderTakeRequests(&r).empty());
    EXPECT_EQ(AudioReorderRelease(&r, 1, false).size(), 1u);
}

TEST(ReceiverAudioRtsp, ChecksDescriptionTransportVolumeAndTrack) {
    std::string good = "v=0\r\no=AirTunes 1 0 IN IP4 10.0.0.1\r\nm=audio 0 RTP/AVP 96\r\n"
                       "a=rtpmap:96 mpeg4-generic/44100/2\r\n"
                       "a=fmtp:96 mode=AAC-eld; constantDuration=480\r\n";
    EXPECT_TRUE(SdpCheck(good).empty());
    std::string wrongRate = good;
    wrongRate.replace(wrongRate.find("44100"), 5, "48000");
    std::string wrongMode = good;
    wrongMode.replace(wrongMode.find("AAC-eld"), 7, "AAC-hbr");
    EXPECT_EQ(SdpCheck(wrongRate).size(), 1u);
    EXPECT_EQ(SdpCheck(wrongMode).size(), 1u);
    EXPECT_EQ(SdpCheck("").size(), 4u);
    SdpFormat format;
    EXPECT_TRUE(SdpCheck(good, &format).empty());
    EXPECT_EQ(format.codec, kRxAacEld);
    std::string alac = "v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 AppleLossless\r\n"
                       "a=fmtp:96 352 0 16 40 10 14 2 255 0 0 44100\r\n";
    EXPECT_TRUE(SdpCheck(alac, &format).empty());
    EXPECT_EQ(format.codec, kRxAlac);
    EXPECT_EQ(format.framesPerPacket, 352);
    EXPECT_EQ(format.alac[3], 40u);
    EXPECT_EQ(format.alac[10], 44100u);
    std::string shortFmtp = alac;
    shortFmtp.replace(shortFmtp.find(" 44100"), 6, "");
    EXPECT_EQ(SdpCheck(shortFmtp).size(), 1u);
    std::string deep = alac;
    deep.replace(deep.find(" 16 "), 4, " 24 ");
    EXPECT_EQ(SdpCheck(deep).size(), 1u);
    EXPECT_EQ(SdpCheck("v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 AppleLossless\r\n").size(), 1u);
    EXPECT_TRUE(
        SdpCheck("v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/44100/2\r\n", &format).empty());
    EXPECT_EQ(format.codec, kRxPcm);
    EXPECT_EQ(format.framesPerPacket, 352);

    std::string transport = "RTP/AVP/UDP;unicast;mode=screen;timing_port=51965;x-events;"
                            "control_port=53551;redundant=2";
    EXPECT_EQ(HeaderParameter(transport, "timing_port", 65535), 51965);
    EXPECT_EQ(HeaderParameter(transport, "control_port", 65535), 53551);
    EXPECT_EQ(HeaderParameter(transport, "server_port", 65535), -1);
    EXPECT_EQ(HeaderParameter("control_port=99999", "control_port", 65535), -1);
    EXPECT_EQ(HeaderParameter("control_port=12x", "control_port", 65535), -1);

    double volume = 1;
    EXPECT_TRUE(ParseVolume("volume: -20.5\r\n", &volume));
    EXPECT_EQ(volume, -20.5);
    EXPECT_FALSE(ParseVolume("volume: loud", &volume));

    std::string dmap = SampleTrackDmap();
    TrackInfo track;
    std::vector<std::string> problems;
    ASSERT_TRUE(DmapParseTrack((const uint8_t *)dmap.data(), dmap.size(), &track, &problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(track.name, "OFFICE-PC");
    EXPECT_EQ(track.artist, "Ostrel");
    EXPECT_TRUE(track.hasAlbum);
    // Every truncation is caught without reading past the end.
    for (size_t cut = 0; cut < dmap.size(); cut++) {
        problems.clear();
        DmapParseTrack((const uint8_t *)dmap.data(), cut, &track, &problems);
        EXPECT_FALSE(problems.empty()) << cut;
    }
}

// Flashes and clicks on the stream clock, paired; and the tone analysis.
TEST(ReceiverAvSync, MapsPairsAndAnalyses) {
    // Ties across the RTP wrap: the latest at or before a time is used.
    std::vector<RtpClockPoint> ties = {{0xFFFFFF00u, 100.0}, {0xFFFFFF00u + 44100u, 101.0}};
    double seconds = 0;
    ASSERT_TRUE(RtpToStreamClock(ties, 0xFFFFFF00u + 44100u + 441u, &seconds));
    EXPECT_NEAR(seconds, 101.01, 1e-9);
    ASSERT_TRUE(RtpToStreamClock(ties, 0xFFFFFF00u + 4410u, &seconds));
    EXPECT_NEAR(seconds, 100.1, 1e-9);
    ASSERT_TRUE(RtpToStreamClock(ties, 0xFFFFFF00u - 441u, &seconds)); // before the first
    EXPECT_NEAR(seconds, 99.99, 1e-9);
    EXPECT_FALSE(RtpToStreamClock({}, 0, &seconds));

    std::vector<std::pair<double, double>> luma;
    for (int i = 0; i < 90; i++) // 30 pictures a second, white for 3 at each second
        luma.push_back({i / 30.0, i % 30 < 3 ? 235.0 : 16.0 + (i % 2)});
    std::vector<double> flashes = FindFlashes(luma);
    ASSERT_EQ(flashes.size(), 2u); // the first picture is already white: no jump seen
    EXPECT_NEAR(flashes[0], 1.0, 1e-9);
    EXPECT_NEAR(flashes[1], 2.0, 1e-9);
    AvSyncResult result = AvSyncPair({1.0, 2.0, 3.0}, {2.03, 0.98, 5.0}, 0.5);
    ASSERT_EQ(result.offsets.size(), 2u);
    EXPECT_NEAR(result.offsets[0], -0.02, 1e-9);
    EXPECT_NEAR(result.offsets[1], 0.03, 1e-9);

    std::vector<float> tone(44100);
    for (size_t i = 0; i < tone.size(); i++)
        tone[i] = (float)(0.25 * std::sin(2 * M_PI * 997.0 * (double)i / 44100.0) +
                          0.0025 * std::sin(2 * M_PI * 3000.0 * (double)i / 44100.0));
    ToneAnalysis analysis = AnalyseTone(tone.data(), tone.size());
    ASSERT_TRUE(analysis.valid);
    EXPECT_NEAR(analysis.frequencyHz, 997.0, 0.5);
    EXPECT_NEAR(analysis.rmsDbfs, 20 * std::log10(0.25 / std::sqrt(2.0)), 0.1);
    EXPECT_NEAR(analysis.snrDb, 40, 1.5); // the second component is 40 dB down
    EXPECT_FALSE(AnalyseTone(tone.data(), 1000).valid);
}

} // namespace
