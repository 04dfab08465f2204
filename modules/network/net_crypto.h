// net_crypto.h - the primitives of the network key exchange: HMAC-SHA256, fresh random bytes and
// a digest comparison that takes the same time whatever the bytes.
//
// The Windows build uses the system's BCrypt provider (net_crypto_win32.cpp); native builds and
// tests use the portable SHA-256 in net_crypto_portable.cpp and the kernel's random source in
// net_random_posix.cpp. Both pass the same known answers.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t { NET_DIGEST_SIZE = 32 };

// HMAC-SHA256 of `size` bytes under `key`; 0, or -1 when the provider failed.
int32_t net_hmac_sha256(const void* key, size_t key_size, const void* data, size_t size,
                        uint8_t out[NET_DIGEST_SIZE]);
// Fills `out` with bytes from the system's cryptographic random source; 0, or -1 on failure.
int32_t net_random_bytes(void* out, size_t size);
// True when both digests are equal; the time taken does not depend on where they differ.
bool net_digest_equal(const uint8_t a[NET_DIGEST_SIZE], const uint8_t b[NET_DIGEST_SIZE]);
