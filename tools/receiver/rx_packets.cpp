#include "tools/receiver/rx_packets.h"

#include <cstring>

static uint32_t Le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static float LeFloat(const uint8_t *p) {
    uint32_t bits = Le32(p);
    float value;
    memcpy(&value, &bits, 4);
    return value;
}

static bool AllZero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

void PacketHeaderParse(const uint8_t *bytes, PacketHeader *out) {
    out->payloadLength = Le32(bytes);
    out->type = (uint16_t)(bytes[4] | bytes[5] << 8);
    out->subtype = (uint16_t)(bytes[6] | bytes[7] << 8);
    out->timestamp = (uint64_t)Le32(bytes + 12) << 32 | Le32(bytes + 8);
    out->codecWidth = LeFloat(bytes + 16);
    out->codecHeight = LeFloat(bytes + 20);
    out->width = LeFloat(bytes + 40);
    out->height = LeFloat(bytes + 44);
    out->left = LeFloat(bytes + 48);
    out->top = LeFloat(bytes + 52);
    out->right = LeFloat(bytes + 56);
    out->bottom = LeFloat(bytes + 60);
    out->reservedZero = AllZero(bytes + 24, 16) && AllZero(bytes + 64, 64);
}

std::vector<std::string> PacketHeaderProblems(const PacketHeader &header, const uint8_t *bytes) {
    std::vector<std::string> problems;
    if (header.type > kPacketHeartbeat) {
        problems.push_back("unknown payload type " + std::to_string(header.type));
        return problems;
    }
    if (!header.reservedZero) problems.push_back("reserved bytes not zero");
    if (header.type == kPacketHeartbeat) {
        if (header.subtype != 30)
            problems.push_back("heartbeat with " + std::to_string(header.subtype) +
                               " at offset 6, expected 30");
        if (header.payloadLength != 0) problems.push_back("heartbeat with a payload");
        if (!AllZero(bytes + 8, 16) || !AllZero(bytes + 40, 24))
            problems.push_back("heartbeat with non-zero timestamp or geometry");
        return problems;
    }
    if (header.subtype != 6)
        problems.push_back("value " + std::to_string(header.subtype) + " at offset 6, expected 6");
    if (header.payloadLength == 0) problems.push_back("empty payload");
    if (header.type == kPacketCodec) {
        if (header.codecWidth != header.width || header.codecHeight != header.height)
            problems.push_back("codec size at offsets 16/20 differs from the picture size");
    } else if (header.codecWidth != 0 || header.codecHeight != 0) {
        problems.push_back("video packet with non-zero offsets 16/20");
    }
    if (!(header.width > 0 && header.height > 0 && header.width <= 16384 && header.height <= 16384))
        problems.push_back("picture size out of range");
    if (!(header.left >= 0 && header.top >= 0 && header.right > header.left &&
          header.bottom > header.top))
        problems.push_back("picture rectangle empty or negative");
    if (header.timestamp == 0) problems.push_back("zero timestamp");
    return problems;
}

bool AvcConfigParse(const uint8_t *data, size_t length, AvcConfig *out, std::string *error) {
    *out = AvcConfig();
    if (length < 7) {
        *error = "record shorter than 7 bytes";
        return false;
    }
    if (data[0] != 1) {
        *error = "configuration version " + std::to_string(data[0]) + ", expected 1";
        return false;
    }
    out->profile = data[1];
    out->compatibility = data[2];
    out->level = data[3];
    out->lengthSize = (data[4] & 3) + 1;
    if (out->lengthSize == 3) {
        *error = "3-byte NAL length prefixes are not allowed";
        return false;
    }
    size_t position = 5;
    for (int list = 0; list < 2; list++) {
        if (position >= length) {
            *error = list == 0 ? "SPS count missing" : "PPS count missing";
            return false;
        }
        int count = list == 0 ? (data[position] & 0x1f) : data[position];
        position++;
        for (int i = 0; i < count; i++) {
            if (position + 2 > length) {
                *error = "parameter set length runs past the end";
                return false;
            }
            size_t size = (size_t)data[position] << 8 | data[position + 1];
            position += 2;
            if (size == 0 || position + size > length) {
                *error = "parameter set empty or runs past the end";
                return false;
            }
            int nalType = data[position] & 0x1f;
            if (nalType != (list == 0 ? 7 : 8)) {
                *error = std::string(list == 0 ? "SPS" : "PPS") + " entry holds NAL type " +
                         std::to_string(nalType);
                return false;
            }
            (list == 0 ? out->sps : out->pps).emplace_back(data + position, data + position + size);
            position += size;
        }
    }
    if (out->sps.empty() || out->pps.empty()) {
        *error = "record without SPS or without PPS";
        return false;
    }
    // Trailing bytes (high-profile chroma/bit-depth fields) are allowed.
    return true;
}

static const uint8_t kStartCode[4] = {0, 0, 0, 1};

bool NalUnitsToAnnexB(const uint8_t *data, size_t length, int lengthSize, std::vector<uint8_t> *out,
                      NalSummary *summary, std::string *error) {
    *summary = NalSummary{0, false, false};
    size_t position = 0;
    size_t start = out->size();
    while (position < length) {
        if (position + lengthSize > length) {
            *error = "NAL length prefix cut off at byte " + std::to_string(position);
            out->resize(start);
            return false;
        }
        size_t size = 0;
        for (int i = 0; i < lengthSize; i++)
            size = size << 8 | data[position + i];
        position += lengthSize;
        if (size == 0 || size > length - position) {
            *error = "NAL unit of " + std::to_string(size) + " bytes at byte " +
                     std::to_string(position - lengthSize) + " does not fit the payload of " +
                     std::to_string(length);
            out->resize(start);
            return false;
        }
        if (data[position] & 0x80) {
            *error = "NAL unit with forbidden bit set";
            out->resize(start);
            return false;
        }
        int type = data[position] & 0x1f;
        summary->idr = summary->idr || type == 5;
        summary->parameterSets = summary->parameterSets || type == 7 || type == 8;
        out->insert(out->end(), kStartCode, kStartCode + 4);
        out->insert(out->end(), data + position, data + position + size);
        position += size;
        summary->count++;
    }
    if (summary->count == 0) {
        *error = "no NAL units";
        return false;
    }
    return true;
}

void AvcConfigToAnnexB(const AvcConfig &config, std::vector<uint8_t> *out) {
    for (auto *list : {&config.sps, &config.pps}) {
        for (auto &unit : *list) {
            out->insert(out->end(), kStartCode, kStartCode + 4);
            out->insert(out->end(), unit.begin(), unit.end());
        }
    }
}
