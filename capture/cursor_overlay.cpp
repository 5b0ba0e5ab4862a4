#include "capture/capture_method.h"

#include <algorithm>

namespace {

// Cursor images come with premultiplied colour; the blend rule wants straight colour.
inline uint32_t Unpremultiply(uint32_t channel, uint32_t alpha) {
    if (alpha == 0 || alpha == 255) return channel;
    return std::min<uint32_t>(255, (channel * 255 + alpha / 2) / alpha);
}

// trunc(under x (1 - alpha/255) + over x alpha/255), exactly, in integers.
inline uint8_t Blend(uint8_t under, uint32_t over, uint32_t alpha) {
    return (uint8_t)((under * (255 - alpha) + over * alpha) / 255);
}

} // namespace

void DrawCursorOverlay(const CaptureRect &rect, int32_t cursorX, int32_t cursorY,
                       const CursorImage &cursor, uint8_t *slot) {
    if (!slot || !cursor.argb || rect.width <= 0 || rect.height <= 0) return;
    // The cell's corner in slot coordinates.
    int64_t originX = (int64_t)cursorX - cursor.hotX - rect.left;
    int64_t originY = (int64_t)cursorY - cursor.hotY - rect.top;
    int64_t rowStart = std::max<int64_t>(0, -originY);
    int64_t rowEnd = std::min<int64_t>(cursor.height, rect.height - originY);
    int64_t colStart = std::max<int64_t>(0, -originX);
    int64_t colEnd = std::min<int64_t>(cursor.width, rect.width - originX);
    for (int64_t row = rowStart; row < rowEnd; row++) {
        const uint32_t *src = cursor.argb + row * cursor.width;
        uint8_t *dst = slot + ((originY + row) * rect.width + originX) * 4;
        for (int64_t col = colStart; col < colEnd; col++) {
            uint32_t p = src[col];
            uint32_t a = p >> 24, r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
            if (a == 0) continue; // leaves the slot as it is under either rule
            uint8_t *px = dst + col * 4;
            if (cursor.colour || b == 0) {
                px[0] = Blend(px[0], Unpremultiply(b, a), a);
                px[1] = Blend(px[1], Unpremultiply(g, a), a);
                px[2] = Blend(px[2], Unpremultiply(r, a), a);
            } else {
                // A two-tone cursor's light pixel: dark over light ground, light over dark.
                uint8_t v = (px[0] > 200 && px[1] > 200 && px[2] > 200) ? 0 : 255;
                px[0] = px[1] = px[2] = v;
            }
        }
    }
}

int CursorImageIsTwoTone(const uint32_t *argb, int32_t count) {
    if (!argb || count <= 0) return 0;
    for (int32_t i = 0; i < count; i++) {
        uint32_t p = argb[i];
        if ((p >> 24) == 0) continue;
        if (p != 0xFF000000u && p != 0xFFFFFFFFu) return 0;
    }
    return 1;
}

int WindowCoveredInStack(const StackEntry *entries, int32_t count, WindowHandle window) {
    int32_t index = -1;
    for (int32_t i = 0; i < count; i++)
        if (entries[i].window == window) index = i;
    if (index < 0 || index == count - 1) return 0;
    const StackEntry &self = entries[index];
    if (!self.visible) return 1;
    for (int32_t i = index + 1; i < count; i++) {
        const StackEntry &above = entries[i];
        if (!above.visible || above.ignorable) continue;
        if (DisplayRectIntersects(above.rect, self.rect)) return 1;
    }
    return 0;
}
