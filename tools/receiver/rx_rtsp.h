// What the audio connection's RTSP requests carry: the session description, the
// Transport line, RTP-Info, the volume, artwork and DMAP track information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The sound formats, numbered as receivers announce them ("cn").
enum RxAudioCodec { kRxPcm = 0, kRxAlac = 1, kRxAacEld = 3 };

// What an ANNOUNCE names: the codec (-1 when none is recognised), samples per packet, and
// for Apple Lossless the eleven numbers of its fmtp line (the decoder's magic cookie).
struct SdpFormat {
    int codec;
    int framesPerPacket;
    uint32_t alac[11];
};

// Checks an ANNOUNCE body, 44100 Hz and 2 channels in one of: AAC-ELD with 480 samples per
// frame (rtpmap "mpeg4-generic/44100/2", fmtp "mode=AAC-eld; constantDuration=480"); Apple
// Lossless (rtpmap "AppleLossless", fmtp "N 0 16 pb mb kb 2 run bytes rate 44100" with N
// 1..4096 samples per packet); 16-bit samples (rtpmap "L16/44100/2", 352 per packet). One
// text per problem; empty when the description is as expected. format, when given, receives
// what it names.
std::vector<std::string> SdpCheck(const std::string &sdp, SdpFormat *format = nullptr);

// Reads name=value pieces of a ";"-separated header value (Transport, RTP-Info).
// Returns the value of name, or -1 when absent or not a number from 0 to max.
long HeaderParameter(const std::string &value, const char *name, long max);

// "volume: -12.5" (text/parameters). False when the body holds no volume line.
bool ParseVolume(const std::string &body, double *volume);

// A DMAP "mlit" item: album (asal), artist (asar), name (minm). Problems name each
// inconsistency (lengths running past the end, a wrong container length, no mlit).
struct TrackInfo {
    bool hasAlbum, hasArtist, hasName;
    std::string album, artist, name;
};
bool DmapParseTrack(const uint8_t *data, size_t length, TrackInfo *out,
                    std::vector<std::string> *problems);

// The 8-byte PNG signature.
bool LooksLikePng(const std::string &body);
