// Decoding of the received frames (AAC-ELD with FFmpeg's AAC decoder, Apple Lossless with
// its ALAC decoder, 16-bit big-endian samples directly), the WAV of what was heard, and the
// analysis the tests read: the tone's frequency and level, and the onsets of clicks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AudioSink;

struct AudioSinkStats {
    uint64_t framesDecoded;
    uint64_t decodeErrors;   // refused frames, failed receives, decoder error messages
    uint64_t silentFrames;   // lost frames written as silence
    uint64_t samplesWritten; // sample frames (both channels) in the WAV
    uint64_t overlaps;       // frames whose RTP time fell on samples written already
    bool wavFailed;
};

struct ToneAnalysis {
    bool valid;         // enough decoded audio to say anything
    double seconds;     // length analysed
    double frequencyHz; // strongest component
    double rms;         // of the analysed part, full scale 1.0
    double rmsDbfs;
    double peak;
    double snrDb; // power near the strongest component against the rest
};

// The AudioSpecificConfig of the stream: AAC-ELD, 44100 Hz, 2 channels, 480 samples.
extern const uint8_t kEldAudioSpecificConfig[4];

AudioSink *AudioSinkCreate(const std::string &wavPath);
// Finishes the WAV and frees everything. False when the WAV could not be written.
bool AudioSinkClose(AudioSink *sink);
// The stream's format from its ANNOUNCE: codec as numbered in rx_rtsp.h (AAC-ELD until
// told otherwise), samples per packet, and for Apple Lossless the eleven numbers of its
// fmtp line. The decoder is opened anew.
void AudioSinkSetFormat(AudioSink *sink, int codec, int framesPerPacket, const uint32_t alac[11]);
// A new stream starts: the decoder is reset and the next frame's RTP time starts a new
// stretch of the WAV, right after what was written.
void AudioSinkStartStream(AudioSink *sink);
// One frame in sequence order, placed in the WAV by its RTP time.
void AudioSinkFrame(AudioSink *sink, uint32_t rtpTime, const uint8_t *frame, size_t length);
// A frame that never came: silence in its place.
void AudioSinkLost(AudioSink *sink, uint32_t rtpTime);

AudioSinkStats AudioSinkGetStats(const AudioSink *sink);
ToneAnalysis AudioSinkAnalyse(const AudioSink *sink);
// RTP times of sudden sounds after at least 300 ms of quiet (the clicks of a sync test).
const std::vector<uint32_t> &AudioSinkOnsets(const AudioSink *sink);

// Exposed for tests: the analysis over mono samples at 44100 Hz.
ToneAnalysis AnalyseTone(const float *samples, size_t count);
