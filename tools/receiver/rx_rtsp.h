// What the audio connection's RTSP requests carry: the session description, the
// Transport line, RTP-Info, the volume, artwork and DMAP track information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Checks an ANNOUNCE body: AAC-ELD at 44100 Hz, 2 channels, 480 samples per frame
// (rtpmap "mpeg4-generic/44100/2", fmtp "mode=AAC-eld; constantDuration=480"). One
// text per problem; empty when the description is as expected.
std::vector<std::string> SdpCheck(const std::string &sdp);

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
