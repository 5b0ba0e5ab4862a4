// The receiver's audio side on whatever a peer may send: datagrams for the data and
// control ports (RTP audio, sync packets, retransmission answers, timing replies) fed
// through the reordering and loss logic, and RTSP requests with their session
// description, Transport, volume and DMAP bodies.
//
// Input: records of [kind (1 byte)][length (2 bytes, big-endian)][bytes].
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/receiver/fuzz_requests.h"
#include "tools/receiver/rx_audio_packets.h"
#include "tools/receiver/rx_http.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_rtsp.h"

static void CheckRequest(const HttpRequest &request) {
    SdpCheck(request.body);
    const std::string *transport = HttpFindHeader(request, "Transport");
    if (transport) {
        long port = HeaderParameter(*transport, "control_port", 65535);
        if (port < -1 || port > 65535) __builtin_trap();
    }
    double volume = 0;
    ParseVolume(request.body, &volume);
    TrackInfo track;
    std::vector<std::string> problems;
    DmapParseTrack((const uint8_t *)request.body.data(), request.body.size(), &track, &problems);
    if (track.name.size() > request.body.size()) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RxLogSetQuiet(true);
    AudioReorder reorder{};
    reorder.dropList = {5, 50, 65535};
    AudioReorderReset(&reorder);
    double now = 0;
    size_t released = 0, position = 0;
    while (position + 3 <= size) {
        uint8_t kind = data[position];
        size_t length = (size_t)data[position + 1] << 8 | data[position + 2];
        position += 3;
        if (length > size - position) length = size - position;
        const uint8_t *bytes = data + position;
        position += length;
        now += 0.01;
        std::string error;
        RtpAudioView view;
        switch (kind % 6) {
        case 0:
            if (RtpAudioParse(bytes, length, &view, &error)) {
                if (view.payload + view.payloadLength != bytes + length) __builtin_trap();
                AudioReorderPacket(&reorder, view.sequence, view.timestamp, view.payload,
                                   view.payloadLength, false, now);
            }
            break;
        case 1:
            if (RetransmitReplyParse(bytes, length, &view, &error))
                AudioReorderPacket(&reorder, view.sequence, view.timestamp, view.payload,
                                   view.payloadLength, true, now);
            break;
        case 2: {
            SyncPacket sync;
            (void)SyncParse(bytes, length, &sync, &error);
            TimingReply reply;
            (void)TimingReplyParse(bytes, length, &reply, &error);
            break;
        }
        case 3:
            for (auto &range : AudioReorderTakeRequests(&reorder))
                if (range.second == 0) __builtin_trap();
            break;
        case 4: {
            bool flush = length & 1;
            for (ReleasedFrame &frame : AudioReorderRelease(&reorder, now, flush)) {
                if (frame.lost != frame.payload.empty()) __builtin_trap();
                released++;
            }
            if (flush && !reorder.held.empty()) __builtin_trap(); // a flush leaves nothing
            break;
        }
        default:
            FuzzEachRequest(bytes, length, CheckRequest);
            break;
        }
    }
    (void)released;
    return 0;
}
