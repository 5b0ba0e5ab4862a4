// Base64 with the standard alphabet and "=" padding, no line breaks.
// Both functions keep no state besides constant tables and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Encodes length bytes into 4 * ceil(length / 3) characters. Returns a new buffer
// (malloc'd, NUL-terminated for convenience; free with free()) and stores the character
// count in *outLength. Null only when the output size would overflow.
[[nodiscard]] char *Base64Encode(const void *bytes, size_t length, size_t *outLength);

// Decodes length characters. A length that is not a multiple of 4 is padded with "=";
// characters outside the alphabet (including "=" and whitespace) count as 0 bits, and an
// "=" in each of the last two positions shortens the output by one byte. Returns a new
// buffer (malloc'd, free with free(); non-null even for an empty result) and stores the
// byte count in *outLength; null for a null text.
[[nodiscard]] uint8_t *Base64Decode(const char *text, size_t length, size_t *outLength);
