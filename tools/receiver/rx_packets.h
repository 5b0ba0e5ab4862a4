// Stream packets as they arrive on the mirroring connection after POST /stream:
// a 128-byte little-endian header, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kPacketHeaderSize = 128;
// Larger payloads are taken as a broken stream: the connection is dropped.
constexpr uint32_t kPacketMaxPayload = 16u << 20;

enum PacketType : uint16_t { kPacketVideo = 0, kPacketCodec = 1, kPacketHeartbeat = 2 };

struct PacketHeader {
    uint32_t payloadLength;
    uint16_t type;
    uint16_t subtype;               // offset 6: 6 for video and codec, 30 for heartbeats
    uint64_t timestamp;             // 32.32 stream clock (seconds upper, fraction lower)
    float codecWidth;               // offset 16
    float codecHeight;              // offset 20
    float width;                    // offset 40
    float height;                   // offset 44
    float left, top, right, bottom; // offsets 48..60
    bool reservedZero;              // bytes 24..39 and 64..127 all zero
};

void PacketHeaderParse(const uint8_t *bytes, PacketHeader *out);
// Deviations from the expected header layout for the packet's type, one text
// each (empty when the header is as expected). Unknown types give one entry.
std::vector<std::string> PacketHeaderProblems(const PacketHeader &header, const uint8_t *bytes);

// The H.264 decoder configuration record carried by codec packets.
struct AvcConfig {
    uint8_t profile;
    uint8_t compatibility;
    uint8_t level;
    int lengthSize; // bytes of each NAL length prefix (1, 2 or 4)
    std::vector<std::vector<uint8_t>> sps;
    std::vector<std::vector<uint8_t>> pps;
};

[[nodiscard]] bool AvcConfigParse(const uint8_t *data, size_t length, AvcConfig *out,
                                  std::string *error);

struct NalSummary {
    int count;
    bool idr;           // holds an IDR slice (type 5)
    bool parameterSets; // holds SPS or PPS
};

// Converts length-prefixed NAL units to Annex B (start codes), appending to out.
// Fails when a length prefix does not tile the payload exactly or a unit is empty.
[[nodiscard]] bool NalUnitsToAnnexB(const uint8_t *data, size_t length, int lengthSize,
                                    std::vector<uint8_t> *out, NalSummary *summary,
                                    std::string *error);
// Annex B form of the record's parameter sets.
void AvcConfigToAnnexB(const AvcConfig &config, std::vector<uint8_t> *out);
