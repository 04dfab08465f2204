// net_crypto_win32.cpp - HMAC-SHA256 and random bytes from the system's BCrypt provider.
#include <windows.h>
#include <bcrypt.h>

#include "net_crypto.h"

namespace {

bool ok(NTSTATUS status) { return status >= 0; }

}  // namespace

int32_t net_hmac_sha256(const void* key, size_t key_size, const void* data, size_t size,
                        uint8_t out[NET_DIGEST_SIZE]) {
    if (key_size > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return -1;
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return -1;
    // An empty key is still a key: BCrypt wants a non-null pointer for it.
    static UCHAR empty_key = 0;
    BCRYPT_HASH_HANDLE hash = nullptr;
    int32_t rc = -1;
    if (ok(BCryptCreateHash(alg, &hash, nullptr, 0, key_size ? (PUCHAR)key : &empty_key, (ULONG)key_size, 0)) &&
        ok(BCryptHashData(hash, size ? (PUCHAR)data : &empty_key, (ULONG)size, 0)) &&
        ok(BCryptFinishHash(hash, out, NET_DIGEST_SIZE, 0)))
        rc = 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return rc;
}

int32_t net_random_bytes(void* out, size_t size) {
    if (size > 0xFFFFFFFFu) return -1;
    return ok(BCryptGenRandom(nullptr, (PUCHAR)out, (ULONG)size, BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ? 0 : -1;
}
