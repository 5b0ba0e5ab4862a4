// A stand-in capture manager for connection tests: records what the connection asks of it
// and, once started, encodes a moving test picture with the program's H.264 encoder and
// hands each result to the connection, as the real capture pipeline does.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "mirroring/mirroring_connection.h"

struct FakeCapture {
    // Settings the test chooses.
    int force720p = 0;
    int framesPerSecond = 30;
    bool produce = true; // false: start and stop are recorded, no pictures are made
    // Nonzero: the picture size the capture side reports, as it does once it has moved
    // on to a new size while older pictures are still queued.
    int reportedPictureWidth = 0, reportedPictureHeight = 0;

    // What the connection did.
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<int> picturesEncoded{0};
    std::mutex lock;
    int receiverWidth = 0, receiverHeight = 0, targetWidth = 0, targetHeight = 0;
    float overscan = 0;
    int sizeCalls = 0;
    // The link's pace as the connection last set it; held pictures are not made.
    std::atomic<int> hold{0};
    std::atomic<int> maxKbps{0};
    std::atomic<int> keyFrameRequests{0};
    std::atomic<int> keyFramePending{0};

    std::thread producer;
    std::atomic<bool> running{false};
};

extern const MirroringCaptureOps kFakeCaptureOps;
// Installs EnqueueVideoFrame as the encoder's frame handler (once per process).
void FakeCaptureInstallFrameHandler();
