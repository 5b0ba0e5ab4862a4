// The command-line encoder end to end (WAV in, MP4 out, read back with libavformat and
// decoded), and the WAV reader on malformed files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "aaceld/tool/wav_reader.h"
#include "eld_decode.h"
#include "tests/support/child_process.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

void Put16(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back((uint8_t)v), b.push_back((uint8_t)(v >> 8));
}
void Put32(std::vector<uint8_t> &b, uint32_t v) {
    Put16(b, v & 0xFFFF), Put16(b, v >> 16);
}

std::vector<uint8_t> MakeWav(const std::vector<int16_t> &samples, int channels, int rate,
                             int bits = 16) {
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    Put32(b, (uint32_t)(36 + 2 * samples.size() + 12));
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'L', 'I', 'S', 'T'});
    Put32(b, 4); // an unrelated chunk the reader must skip
    b.insert(b.end(), {'I', 'N', 'F', 'O'});
    b.insert(b.end(), {'f', 'm', 't', ' '});
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, (uint32_t)channels);
    Put32(b, (uint32_t)rate);
    Put32(b, (uint32_t)(rate * channels * 2));
    Put16(b, (uint32_t)(channels * 2));
    Put16(b, (uint32_t)bits);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    Put32(b, (uint32_t)(2 * samples.size()));
    for (int16_t s : samples)
        Put16(b, (uint16_t)s);
    return b;
}

std::string TempPath(const char *suffix) {
    return std::string("/tmp/ostrel_aaceld_") + std::to_string(getpid()) + suffix;
}

// The encoder's exit code, or -1 when it did not finish within a minute.
int RunTool(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {OSTREL_AACELD_ENC};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = SpawnChild(argv);
    return pid < 0 ? -1 : ExitCode(EndChild(pid, 0, 60000));
}

} // namespace

TEST(AacEldTool, EncodesWavIntoAnMp4TheDecoderAccepts) {
    const int frames = 44100;
    std::vector<int16_t> pcm(2 * frames);
    for (int i = 0; i < frames; i++) {
        pcm[2 * i] = (int16_t)lrint(12000 * sin(2 * M_PI * 440 * i / 44100.0));
        pcm[2 * i + 1] = (int16_t)lrint(6000 * sin(2 * M_PI * 1250 * i / 44100.0));
    }
    std::string wav = TempPath(".wav"), m4a = TempPath(".m4a");
    std::vector<uint8_t> bytes = MakeWav(pcm, 2, 44100);
    FILE *f = fopen(wav.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    ASSERT_EQ(RunTool({"--bitrate", "96000", wav, m4a}), 0);

    AVFormatContext *fmt = nullptr;
    ASSERT_EQ(avformat_open_input(&fmt, m4a.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
    ASSERT_EQ(fmt->nb_streams, 1u);
    AVCodecParameters *par = fmt->streams[0]->codecpar;
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(par->sample_rate, 44100);
    ASSERT_EQ(par->extradata_size, 4);
    std::vector<uint8_t> asc(par->extradata, par->extradata + 4);
    EXPECT_EQ(asc, (std::vector<uint8_t>{0xF8, 0xE8, 0x50, 0x00}));
    std::vector<std::vector<uint8_t>> packets;
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        packets.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    unlink(wav.c_str());
    unlink(m4a.c_str());

    // Whole input plus the delay, in whole frames.
    EXPECT_EQ(packets.size(), (size_t)((frames + 240 + 479) / 480));
    EldDecodeResult r = EldDecodePackets(packets, asc.data(), 4, 44100, 2);
    EXPECT_EQ(r.errors, 0);
    EXPECT_EQ(r.log, "");
    std::vector<float> in(pcm.size());
    for (size_t i = 0; i < pcm.size(); i++)
        in[i] = pcm[i] / 32768.0f;
    EXPECT_GT(EldSnrDb(in, r.samples, 2, 0, 240, 2048, frames - 2048), 25.0);
    EXPECT_GT(EldSnrDb(in, r.samples, 2, 1, 240, 2048, frames - 2048), 25.0);
}

TEST(AacEldTool, RefusesBadInputWithAnError) {
    std::string wav = TempPath("_mono.wav"), m4a = TempPath("_x.m4a");
    std::vector<uint8_t> bytes = MakeWav(std::vector<int16_t>(4800), 1, 44100);
    FILE *f = fopen(wav.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    EXPECT_EQ(RunTool({wav, m4a}), 1) << "mono input";
    EXPECT_EQ(RunTool({"/nonexistent/in.wav", m4a}), 1);
    EXPECT_EQ(RunTool({"--bitrate", "abc", wav, m4a}), 2);
    EXPECT_EQ(RunTool({wav}), 2);
    unlink(wav.c_str());
    unlink(m4a.c_str());
}

TEST(AacEldWav, ParsesChunksAndRejectsMalformedFiles) {
    std::vector<int16_t> pcm = {1, -2, 3, -4, 32767, -32768};
    std::vector<uint8_t> good = MakeWav(pcm, 2, 48000);
    WavData wav;
    char error[128];
    ASSERT_EQ(WavParse(good.data(), good.size(), &wav, error, sizeof(error)), 1) << error;
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.sampleRate, 48000);
    EXPECT_EQ(wav.samples, pcm);

    // A data chunk that claims more than the file holds yields what is there, in whole frames.
    std::vector<uint8_t> cut(good.begin(), good.end() - 3);
    ASSERT_EQ(WavParse(cut.data(), cut.size(), &wav, error, sizeof(error)), 1);
    EXPECT_EQ(wav.samples, std::vector<int16_t>(pcm.begin(), pcm.begin() + 4));

    std::vector<uint8_t> bits24 = MakeWav(pcm, 2, 44100, 24);
    EXPECT_EQ(WavParse(bits24.data(), bits24.size(), &wav, error, sizeof(error)), 0);
    EXPECT_NE(std::string(error).find("16-bit"), std::string::npos);
    std::vector<uint8_t> notRiff = good;
    notRiff[0] = 'X';
    EXPECT_EQ(WavParse(notRiff.data(), notRiff.size(), &wav, error, sizeof(error)), 0);
    // Every truncation of the header fails cleanly or parses a prefix; none may crash.
    for (size_t n = 0; n < 60; n++) {
        int ok = WavParse(good.data(), n, &wav, error, sizeof(error));
        if (ok) {
            EXPECT_LE(wav.samples.size(), pcm.size());
        }
    }
    // A chunk length running past the end must not be followed.
    std::vector<uint8_t> hugeChunk = good;
    hugeChunk[16] = 0xFF, hugeChunk[17] = 0xFF, hugeChunk[18] = 0xFF, hugeChunk[19] = 0xFF;
    EXPECT_EQ(WavParse(hugeChunk.data(), hugeChunk.size(), &wav, error, sizeof(error)), 0);
}
