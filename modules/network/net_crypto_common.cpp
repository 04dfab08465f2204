// net_crypto_common.cpp - the parts of the key-exchange primitives that need no provider.
#include "net_crypto.h"

bool net_digest_equal(const uint8_t a[NET_DIGEST_SIZE], const uint8_t b[NET_DIGEST_SIZE]) {
    // Accumulate every difference so that a forged proof learns nothing from the timing.
    uint8_t diff = 0;
    for (uint32_t i = 0; i < NET_DIGEST_SIZE; i++) diff = (uint8_t)(diff | (a[i] ^ b[i]));
    return diff == 0;
}
