// SendBudget: keeps what waits to be sent on the stream connection to a few picture
// intervals, so that the picture on the receiver lags the screen by little more than the
// link's own delay, whatever the link carries.
//
// MirroringThread feeds it, every few milliseconds, the bytes waiting (the connection's send
// ring plus what the kernel holds unacknowledged) and the running total the receiver has
// acknowledged. Out come two decisions for the capture side: hold (keep new pictures back
// before they are captured, so nothing already encoded is ever dropped) and a bitrate
// ceiling for the encoder that follows what the link was measured to carry, raised again
// step by step while the queue stays nearly empty. Pure: no clock, no I/O.
#pragma once

#include <cstdint>

// How long what waits may take to drain at the link's measured rate.
constexpr int64_t kSendBudgetNanos = 150 * 1000000LL;
// What may always wait, however slow the link was measured: one small picture.
constexpr uint64_t kSendBudgetMinBytes = 12 * 1024;
// The ceiling never goes below this (a picture at all) nor is held above this (beyond it the
// link is taken as open and the encoder's own ceiling rules).
constexpr int32_t kSendBudgetFloorKbps = 250;
constexpr int32_t kSendBudgetTopKbps = 40000;
// Acknowledged bytes are counted over windows of this length.
constexpr int64_t kSendBudgetWindowNanos = 250 * 1000000LL;
// How often MirroringThread looks while streaming.
constexpr int kSendBudgetTickMs = 20;

struct SendBudget {
    int64_t windowStart;   // monotonic nanoseconds; 0 before the first sample
    uint64_t windowAcked;  // the acknowledged total at windowStart
    double bytesPerSecond; // what the link was measured to carry; 0 while unknown
    uint64_t windowLeast;  // the fewest bytes seen waiting in the current window
    uint64_t standing;     // the same over the last whole window: a queue that never drained
    int64_t calmSince;     // since when little has waited; 0 while not calm
    int64_t lastCut;       // when the ceiling was last lowered
    int64_t lastRaise;     // when it was last raised
    int64_t lastHeld;      // when pictures were last held back
    int32_t ceilingKbps;   // 0: no ceiling from the link
    int32_t hold;          // 1: new pictures are held back
};

void SendBudgetInit(SendBudget *budget);
// Takes one measurement at now. Returns 1 when hold or ceilingKbps changed.
int SendBudgetUpdate(SendBudget *budget, int64_t now, uint64_t waitingBytes, uint64_t bytesAcked);
// The bytes that may wait at the current measured rate.
uint64_t SendBudgetBytes(const SendBudget *budget);
