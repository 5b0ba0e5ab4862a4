#include "capture/displays.h"

#include "base/log.h"
#include "plist/cfvalue.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

DisplayList gDisplays;
std::atomic<CFValue *> gDisplayNames{nullptr};

int64_t OverlapArea(const DisplayRect &a, const DisplayRect &b) {
    int64_t w = (int64_t)std::min(a.right, b.right) - std::max(a.left, b.left);
    int64_t h = (int64_t)std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return (w > 0 && h > 0) ? w * h : 0;
}

} // namespace

DisplayList *ProcessDisplayList() {
    return &gDisplays;
}

CFValue *DisplayNames() {
    return gDisplayNames.load();
}

void DisplayListReset(DisplayList *list) {
    list->count = 0;
}

int DisplayListAdd(DisplayList *list, const DisplayRect &rect, uint64_t monitor) {
    if (list->count >= kMaxDisplays) return 0;
    int index = list->count;
    // In 64 bits: a corrupt rectangle must not overflow the subtraction.
    long long width = (long long)rect.right - rect.left;
    long long height = (long long)rect.bottom - rect.top;
    DebugLog(2, "Found Monitor %i %llix%lli (origin %i, %i)\n", index, width, height, rect.left,
             rect.top);
    char name[64];
    snprintf(name, sizeof name, "Display %i - (%llix%lli)", index + 1, width, height);
    // Any real monitor's name fits; an absurd one is cut, never overrun.
    snprintf(list->names[index], kDisplayNameBytes, "%.*s", kDisplayNameBytes - 1, name);
    list->rects[index] = rect;
    list->monitors[index] = monitor;
    list->count = index + 1;
    return 1;
}

void DisplayNamesRebuild(const DisplayList *list) {
    CFValue *names = CFArrayNew(5);
    for (int i = 0; i < list->count; i++) {
        CFValue *name = CFStringFromBytes(list->names[i], 0);
        CFArrayPush(names, name);
        CFValueRelease(name);
    }
    CFValue *old = gDisplayNames.exchange(names);
    CFValueRelease(old);
}

int DisplayIndexOfRect(const DisplayList *list, const DisplayRect &rect) {
    int best = -1;
    int64_t bestArea = 0;
    int count = std::min<int>(list->count, kMaxDisplays);
    for (int i = 0; i < count; i++) {
        int64_t area = OverlapArea(list->rects[i], rect);
        if (area > bestArea) {
            bestArea = area;
            best = i;
        }
    }
    return best;
}
