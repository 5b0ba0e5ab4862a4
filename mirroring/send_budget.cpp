#include "mirroring/send_budget.h"

void SendBudgetInit(SendBudget *budget) {
    *budget = SendBudget{};
}

uint64_t SendBudgetBytes(const SendBudget *budget) {
    double bytes = budget->bytesPerSecond * (double)kSendBudgetNanos / 1e9;
    return bytes > (double)kSendBudgetMinBytes ? (uint64_t)bytes : kSendBudgetMinBytes;
}

// Folds the window that just ended into the measured rate.
// Also keeps the queue that stood through the whole window: a link slower than the stream keeps
// one, while a resend after a lost packet holds the acknowledgements back for a few round trips
// only and then everything waiting is acknowledged at once.
static void MeasureRate(SendBudget *b, int64_t now, uint64_t waitingBytes, uint64_t bytesAcked) {
    if (b->windowStart == 0 || bytesAcked < b->windowAcked) {
        b->windowStart = now;
        b->windowAcked = bytesAcked;
        b->windowLeast = waitingBytes;
        return;
    }
    if (waitingBytes < b->windowLeast) b->windowLeast = waitingBytes;
    int64_t span = now - b->windowStart;
    if (span < kSendBudgetWindowNanos) return;
    double sample = (double)(bytesAcked - b->windowAcked) * 1e9 / (double)span;
    b->windowStart = now;
    b->windowAcked = bytesAcked;
    b->standing = b->windowLeast;
    b->windowLeast = waitingBytes;
    if (b->standing > SendBudgetBytes(b) / 4) {
        // A queue was waiting: the link, not the screen, set the pace.
        b->bytesPerSecond = b->bytesPerSecond > 0 ? 0.5 * b->bytesPerSecond + 0.5 * sample : sample;
    } else if (sample > b->bytesPerSecond) {
        // With nothing waiting the sample only shows what the screen wanted: the link carries
        // at least that.
        b->bytesPerSecond = sample;
    }
}

int SendBudgetUpdate(SendBudget *b, int64_t now, uint64_t waitingBytes, uint64_t bytesAcked) {
    int32_t held = b->hold, ceiling = b->ceilingKbps;
    MeasureRate(b, now, waitingBytes, bytesAcked);
    uint64_t allowed = SendBudgetBytes(b);
    if (waitingBytes > allowed) {
        b->hold = 1;
        b->lastHeld = now;
        if (b->standing > allowed / 4) b->calmSince = 0;
        // A queue stood under the current ceiling: bring it to what the link carried, leaving
        // room for the queue to drain. Once per half second, so that the rate measured next
        // reflects the new ceiling. A queue that drains within the window (a resend) is only
        // waited out: cutting for it would ratchet the rate down on a lossy but fast link.
        if (b->bytesPerSecond > 0 && b->standing > allowed / 4 &&
            now - b->lastCut >= 500 * 1000000LL) {
            double kbps = b->bytesPerSecond * 8.0 / 1000.0 * 0.85;
            int32_t cut = kbps < kSendBudgetFloorKbps ? kSendBudgetFloorKbps
                          : kbps > kSendBudgetTopKbps ? kSendBudgetTopKbps
                                                      : (int32_t)kbps;
            if (b->ceilingKbps == 0 || cut < b->ceilingKbps) {
                b->ceilingKbps = cut;
                b->lastCut = now;
            }
        }
    } else if (waitingBytes <= allowed / 2) {
        b->hold = 0;
    }
    if (waitingBytes <= allowed / 4) {
        if (b->calmSince == 0) b->calmSince = now;
        // Quiet for a second: try a half more, until the link is taken as open. Not while
        // pictures were held back of late and the link carried clearly less than the ceiling
        // lets through: then the link (a sender slowed by losses), not the screen, keeps the
        // stream below the ceiling, and a higher one would only overshoot it.
        bool carried = b->bytesPerSecond * 8.0 / 1000.0 >= 0.9 * b->ceilingKbps;
        bool heldLately = b->lastHeld != 0 && now - b->lastHeld < 1000 * 1000000LL;
        if (b->ceilingKbps != 0 && now - b->calmSince >= 1000 * 1000000LL &&
            now - b->lastRaise >= 500 * 1000000LL && now - b->lastCut >= 1000 * 1000000LL &&
            (carried || !heldLately)) {
            int64_t raised = (int64_t)b->ceilingKbps * 3 / 2;
            b->ceilingKbps = raised >= kSendBudgetTopKbps ? 0 : (int32_t)raised;
            b->lastRaise = now;
        }
    } else if (b->standing > allowed / 4) {
        b->calmSince = 0;
    }
    return b->hold != held || b->ceilingKbps != ceiling;
}
