// fuzz_net_random.cpp - the frame fuzzer's net_random_bytes, linked in place of the kernel's
// source: every input resets its connections, and each reset draws a fresh nonce. A system call
// per draw cost a few percent of every run, and the fuzzer sets the nonces its proofs are made
// with anyway; a fixed sequence (splitmix64) still gives each draw bytes of its own.
#include "net_crypto.h"

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;

uint64_t next_word() {
    uint64_t z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int32_t net_random_bytes(void* out, size_t size) {
    uint8_t* p = (uint8_t*)out;
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t word = next_word();
        for (size_t k = 0; k < 8 && i + k < size; k++) p[i + k] = (uint8_t)(word >> (8 * k));
    }
    return 0;
}
