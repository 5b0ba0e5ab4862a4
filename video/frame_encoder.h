// The one interface through which I420 pictures become H.264.
//
// A FrameEncoder is built and closed by the capture thread (RebuildFrameEncoder,
// CloseFrameEncoder) and fed by the encode thread of the current CaptureBuffers,
// never both at once. Every picture that comes out is handed, with the stream's
// avcC codec header, to OnEncodedFrame, which passes it to the handler the
// mirroring connection installed with SetEncodedFrameHandler.
#pragma once

#include <cstdint>

struct FrameEncoder;

// Encoder kinds; a kind is a bit so that CreateFrameEncoder can take a mask.
constexpr int32_t EncoderKindLegacy = 1;

// Results of the operations and of CreateFrameEncoder.
constexpr int EncoderResultOk = 0;
constexpr int EncoderResultNoImplementation = 1;
constexpr int EncoderResultSetupFailed = 2;
constexpr int EncoderResultEncodeFailed = 3;

// Four characters 'y420': planar I420.
constexpr uint32_t kPixelFormatI420 = 0x79343230;

// Output callback of an implementation. The two blocks belong to the encoder and are
// valid only during the call. Called on the encode thread.
typedef void (*EncoderOutputFn)(FrameEncoder *encoder, const uint8_t *codecHeader,
                                uint64_t codecHeaderLength, const uint8_t *frameData,
                                uint64_t frameLength, void *connection);

typedef int (*EncoderInitFn)(FrameEncoder *encoder);
// picture points to the Y, U and V plane pointers of an I420 picture at the output size,
// strides width, width / 2, width / 2. sizeHint is always 0. connection goes to onOutput.
typedef int (*EncoderEncodeFn)(FrameEncoder *encoder, uint8_t *const *picture, int sizeHint,
                               void *connection);
typedef int (*EncoderCloseFn)(FrameEncoder *encoder);

// One implementation. close may follow a failed init: it releases whatever init made.
struct EncoderOps {
    int32_t kind;
    EncoderInitFn init;     // 0, or EncoderResultSetupFailed
    EncoderEncodeFn encode; // 0 (also when nothing came out yet), or EncoderResultEncodeFailed
    EncoderCloseFn close;   // 0
};

struct FrameEncoder {
    int32_t kind;
    int32_t annexB;       // always 0: 4-byte big-endian lengths, avcC header
    uint32_t pixelFormat; // kPixelFormatI420
    int32_t planar;       // always 1
    float inputWidth;
    float inputHeight;
    float outputWidth;
    float outputHeight;
    int32_t level;        // from the capture manager (1); selects the rate factor
    int32_t quality;      // setting Quality + 2: the user's bitrate ceiling and rate factor
    // Set by the owner before each encode call, on the encode thread:
    int32_t linkMaxKbps;    // the link's bitrate ceiling; 0: none (the user's alone applies)
    int32_t keyFrameWanted; // 1: this picture is to be a key frame; the implementation clears it
    int64_t captureNanos;   // monotonic time this picture was read from the screen; 0: unknown
    void *handle;         // the implementation's encoder; owned, released by close
    uint8_t *codecHeader; // avcC record; owned, released by close; null when unknown
    uint64_t codecHeaderLength;
    EncoderOutputFn onOutput; // OnEncodedFrame unless a test replaces it
    void *lastConnection;     // connection of the last encode call that produced output
    int32_t framesEncoded;    // encode calls so far; the encode thread adds 1 after each call
    EncoderCloseFn close;
    EncoderEncodeFn encode;
    EncoderInitFn init;
};

// One encoded picture queued by the mirroring connection. Both blocks are owned.
struct EncodedVideoFrame {
    uint8_t *codecHeader; // copy of the avcC header at the time of the picture
    uint64_t codecHeaderLength;
    uint8_t *frameData; // NAL units in decoding order, each with a 4-byte BE length
    uint64_t frameLength;
    EncodedVideoFrame *next;
};

// Copies both blocks into a new frame (next = null). Null when out of memory.
[[nodiscard]] EncodedVideoFrame *EncodedVideoFrameCreate(const uint8_t *codecHeader,
                                                         uint64_t codecHeaderLength,
                                                         const uint8_t *frameData,
                                                         uint64_t frameLength);
// Frees one frame (not the ones linked after it). Null is ignored.
void EncodedVideoFrameFree(EncodedVideoFrame *frame);

// Receives every encoded picture. connection is the pointer the capture manager passes to
// each encode call (the mirroring connection), handed over untouched as the context.
// Called on the encode thread; the blocks are valid only during the call. The picture
// size is the one this picture was encoded at, which the capture side may already have
// moved on from while the picture was in the pipeline. captureNanos is the monotonic time
// the picture was read from the screen (0 when unknown); the encoder delays no picture, so
// it is the one just encoded.
typedef void (*EncodedFrameHandler)(void *connection, const uint8_t *codecHeader,
                                    uint64_t codecHeaderLength, const uint8_t *frameData,
                                    uint64_t frameLength, int32_t pictureWidth,
                                    int32_t pictureHeight, int64_t captureNanos);
// Installs the process-wide handler (null: frames are dropped). Any thread.
void SetEncodedFrameHandler(EncodedFrameHandler handler);

// The output callback every encoder gets: forwards to the installed handler.
void OnEncodedFrame(FrameEncoder *encoder, const uint8_t *codecHeader, uint64_t codecHeaderLength,
                    const uint8_t *frameData, uint64_t frameLength, void *connection);

// Registry. Appends an empty table for kind and returns it for the caller to fill, or
// returns null when that kind is already listed. Callers serialise through
// SelectFrameEncoder; tests may register their own kinds.
[[nodiscard]] EncoderOps *RegisterEncoderOps(int32_t kind);
// Number of tables listed (for tests).
int EncoderRegistryCount();

// Makes and initialises an encoder from the first table whose kind bits are all in
// kindMask. Returns EncoderResultOk with *encoder set, EncoderResultNoImplementation,
// or init's own nonzero result (nothing is left allocated then).
[[nodiscard]] int CreateFrameEncoder(int32_t kindMask, float inputWidth, float inputHeight,
                                     float outputWidth, float outputHeight, int level, int quality,
                                     FrameEncoder **encoder);
// Runs close and frees the encoder. Null is ignored.
void CloseFrameEncoder(FrameEncoder *encoder);
// Registers the x264 table on first use and creates a kind-1 encoder into *slot
// (which must be empty); *slot stays null on failure. Returns 1 when an encoder was made.
[[nodiscard]] int SelectFrameEncoder(FrameEncoder **slot, int level, float width, float height,
                                     int quality);
// Closes whatever *slot holds, then SelectFrameEncoder. Capture thread only.
[[nodiscard]] int RebuildFrameEncoder(FrameEncoder **slot, float width, float height, int quality,
                                      int level);

// Builds the avcC record from one SPS and one PPS NAL unit (each starting with its NAL
// header byte): 11 + spsLength + ppsLength bytes into out, which must hold that many.
// Returns the length, or 0 when either unit is empty, the SPS is shorter than 4 bytes or
// a length does not fit 16 bits.
[[nodiscard]] uint64_t BuildAvcConfigRecord(const uint8_t *sps, uint64_t spsLength,
                                            const uint8_t *pps, uint64_t ppsLength, uint8_t *out);
