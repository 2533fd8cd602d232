// SHA-256 (FIPS 180-4) of a stream of bytes, fed in pieces of any size.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t SHA256_BLOCK = 64;
constexpr size_t SHA256_DIGEST = 32;
// A digest in hex: 64 lower-case digits and a NUL.
constexpr size_t SHA256_HEX_SIZE = 2 * SHA256_DIGEST + 1;

struct sha256_state {
    uint32_t h[8];
    uint64_t length;  // bytes fed so far
    uint8_t block[SHA256_BLOCK];
};

void sha256_init(sha256_state* state);
void sha256_feed(sha256_state* state, const void* bytes, size_t size);
// Ends the stream: the digest in hex, 64 lower-case digits and a NUL.
void sha256_finish(sha256_state* state, char hex[SHA256_HEX_SIZE]);
