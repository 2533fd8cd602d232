#include "sha256.h"

#include <string.h>

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

// One round; the caller renames the eight words instead of moving them.
__attribute__((always_inline)) inline void round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d,
                                                 uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                                                 uint32_t k) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + k;
    d += t1;
    h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (c & (a ^ b)));
}

// One block. The message schedule is expanded whole first: each word then
// lies at a fixed distance from the one being made, with no ring to wrap.
void compress(uint32_t h[8], const uint8_t* block) {
    uint32_t w[64];
    for (unsigned i = 0; i < 16; ++i) {
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
               static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (uint32_t* p = w + 16; p < w + 64; ++p) {
        const uint32_t x = p[-15];
        const uint32_t y = p[-2];
        *p = p[-16] + (rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3)) + p[-7] +
             (rotr(y, 17) ^ rotr(y, 19) ^ (y >> 10));
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (unsigned i = 0; i < 64; i += 8) {
        const uint32_t* r = w + i;
        round(a, b, c, d, e, f, g, k, K[i] + r[0]);
        round(k, a, b, c, d, e, f, g, K[i + 1] + r[1]);
        round(g, k, a, b, c, d, e, f, K[i + 2] + r[2]);
        round(f, g, k, a, b, c, d, e, K[i + 3] + r[3]);
        round(e, f, g, k, a, b, c, d, K[i + 4] + r[4]);
        round(d, e, f, g, k, a, b, c, K[i + 5] + r[5]);
        round(c, d, e, f, g, k, a, b, K[i + 6] + r[6]);
        round(b, c, d, e, f, g, k, a, K[i + 7] + r[7]);
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

}  // namespace

void sha256_init(sha256_state* state) {
    static constexpr uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(state->h, INITIAL, sizeof INITIAL);
    state->length = 0;
}

void sha256_feed(sha256_state* state, const void* bytes, size_t size) {
    const auto* in = static_cast<const uint8_t*>(bytes);
    size_t held = state->length % SHA256_BLOCK;
    state->length += size;
    if (held != 0) {
        const size_t take = size < SHA256_BLOCK - held ? size : SHA256_BLOCK - held;
        memcpy(state->block + held, in, take);
        in += take;
        size -= take;
        held += take;
        if (held < SHA256_BLOCK) return;
        compress(state->h, state->block);
    }
    for (; size >= SHA256_BLOCK; in += SHA256_BLOCK, size -= SHA256_BLOCK) compress(state->h, in);
    memcpy(state->block, in, size);
}

void sha256_finish(sha256_state* state, char hex[SHA256_HEX_SIZE]) {
    const uint64_t bits = state->length * 8;
    uint8_t pad[SHA256_BLOCK + 8] = {0x80};
    const size_t held = state->length % SHA256_BLOCK;
    const size_t zeros = (held < 56 ? 56 : 120) - held;
    for (unsigned i = 0; i < 8; ++i) pad[zeros + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    sha256_feed(state, pad, zeros + 8);
    static constexpr char DIGITS[] = "0123456789abcdef";
    for (unsigned i = 0; i < SHA256_DIGEST; ++i) {
        const uint32_t word = state->h[i / 4] >> (24 - 8 * (i % 4));
        hex[2 * i] = DIGITS[(word >> 4) & 15];
        hex[2 * i + 1] = DIGITS[word & 15];
    }
    hex[2 * SHA256_DIGEST] = '\0';
}
