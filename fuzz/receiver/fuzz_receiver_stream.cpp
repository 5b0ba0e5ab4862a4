// Packet headers, codec records and NAL framing on arbitrary stream bytes.
#include <cstddef>
#include <cstdint>

#include "tools/receiver/rx_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t position = 0;
    while (size - position >= kPacketHeaderSize) {
        PacketHeader header;
        PacketHeaderParse(data + position, &header);
        PacketHeaderProblems(header, data + position);
        position += kPacketHeaderSize;
        size_t length =
            header.payloadLength < size - position ? header.payloadLength : size - position;
        AvcConfig config;
        std::string error;
        int lengthSize = 4;
        if (AvcConfigParse(data + position, length, &config, &error)) {
            std::vector<uint8_t> annexB;
            AvcConfigToAnnexB(config, &annexB);
            lengthSize = config.lengthSize;
        }
        std::vector<uint8_t> annexB;
        NalSummary summary;
        bool converted =
            NalUnitsToAnnexB(data + position, length, lengthSize, &annexB, &summary, &error);
        // With 4-byte prefixes the Annex B form has exactly the payload's size.
        if (converted && lengthSize == 4 && annexB.size() != length) __builtin_trap();
        position += length;
    }
    return 0;
}
