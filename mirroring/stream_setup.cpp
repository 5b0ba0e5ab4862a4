#include "mirroring/stream_setup.h"

// Object table: 28 objects from offset 8, one-byte object references and offsets.
// Adjacent literals are joined by the compiler; the trailing NUL is not part of the data.
static const char kBytes[] =
    "bplist00"
    // 0 (8): dictionary of 6, keys 1-6, values 7, 8, 9, 18, 26, 27
    "\xD6\x01\x02\x03\x04\x05\x06\x07\x08\x09\x12\x1A\x1B"
    "\x59" "latencyMs"                // 1 (21)
    "\x58" "deviceID"                 // 2 (31)
    "\x57" "fpsInfo"                  // 3 (40)
    "\x5D" "timestampInfo"            // 4 (48)
    "\x59" "sessionId"                // 5 (62)
    "\x57" "version"                  // 6 (72)
    "\x52" "90"                       // 7 (80)
    "\x5E" "0x60C54748E222"           // 8 (83)
    "\xA8\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11" // 9 (98): array, references 10-17
    "\x54" "SubS" "\x54" "B4En" "\x54" "EnDp" "\x54" "IdEn" // 10-13 (107)
    "\x54" "IdDp" "\x54" "EQDp" "\x54" "QueF" "\x54" "Sent" // 14-17 (127)
    "\xA7\x13\x14\x15\x16\x17\x18\x19" // 18 (147): array, references 19-25
    "\x55" "SubSu" "\x55" "BePxT" "\x55" "AfPxT" "\x55" "BeFEn" // 19-22 (155)
    "\x55" "EmEnc" "\x55" "QueFr" "\x55" "SndFr"               // 23-25 (179)
    "\x59" "691484636"                // 26 (197)
    "\x55" "120.2"                    // 27 (207)
    // Offset table (213): one byte per object.
    "\x08\x15\x1F\x28\x30\x3E\x48\x50\x53\x62\x6B\x70\x75\x7A"
    "\x7F\x84\x89\x8E\x93\x9B\xA1\xA7\xAD\xB3\xB9\xBF\xC5\xCF"
    // Trailer: 6 unused bytes, offset size 1, reference size 1, 28 objects, root 0,
    // offset table at 213.
    "\x00\x00\x00\x00\x00\x00\x01\x01"
    "\x00\x00\x00\x00\x00\x00\x00\x1C"
    "\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\xD5";

static_assert(sizeof kBytes - 1 == kStreamSetupPlistLength);

const uint8_t *const StreamSetupPlist = reinterpret_cast<const uint8_t *>(kBytes);
