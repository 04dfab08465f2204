// net_auth.cpp - HELLO, nonces and the key proof of a new connection.
#include "net_auth.h"

#include <cstring>

namespace {

const char kLabel[] = "KXNT-AUTH-2";

void copy_cut(char* out, size_t capacity, const char* text) {
    size_t n = text ? strnlen(text, capacity - 1) : 0;
    if (n) std::memcpy(out, text, n);
    out[n] = 0;
}

int32_t own_proof(const NetHandshake* hs, uint8_t proof[NET_DIGEST_SIZE]) {
    if (net_auth_proof(hs->key, hs->key_size, hs->outgoing, hs->peer_nonce, hs->own_nonce, proof) != 0)
        return NET_HS_NO_RANDOM;
    return NET_HS_SEND_PROOF;
}

int32_t take_hello(NetHandshake* hs, const uint8_t* payload, uint32_t size, uint8_t proof[NET_DIGEST_SIZE]) {
    NetHello hello;
    if (net_decode_hello(payload, size, &hello) != 0 || hello.version != NET_PROTOCOL_VERSION) return NET_HS_BAD_HELLO;
    bool peer_has_key = (hello.flags & NET_HELLO_HAS_KEY) != 0;
    if (hs->key_size > 0 && !peer_has_key) return NET_HS_PEER_HAS_NO_KEY;
    if (hs->key_size == 0 && peer_has_key) return NET_HS_WE_HAVE_NO_KEY;
    std::memcpy(hs->peer_nonce, hello.nonce, NET_NONCE_SIZE);
    copy_cut(hs->peer_program, sizeof hs->peer_program, hello.program);
    hs->peer_version = hello.version;
    hs->have_hello = true;
    if (hs->key_size == 0) return NET_HS_READY;
    // The listener proves the key only to a peer that proved it first: anyone may connect to it,
    // and its proof over a stranger's nonce would let that stranger test guessed keys offline.
    if (!hs->outgoing) return NET_HS_CONTINUE;
    return own_proof(hs, proof);
}

int32_t take_proof(NetHandshake* hs, const uint8_t* payload, uint32_t size, uint8_t proof[NET_DIGEST_SIZE]) {
    if (!hs->have_hello || hs->key_size == 0 || hs->proof_ok) return NET_HS_OUT_OF_ORDER;
    if (size != NET_DIGEST_SIZE) return NET_HS_BAD_PROOF;
    uint8_t expected[NET_DIGEST_SIZE];
    // The peer proves with the opposite role and our nonce as the challenge.
    if (net_auth_proof(hs->key, hs->key_size, !hs->outgoing, hs->own_nonce, hs->peer_nonce, expected) != 0)
        return NET_HS_BAD_PROOF;
    if (!net_digest_equal(expected, payload)) return NET_HS_BAD_PROOF;
    hs->proof_ok = true;
    return hs->outgoing ? (int32_t)NET_HS_READY : own_proof(hs, proof);
}

}  // namespace

int32_t net_handshake_init(NetHandshake* hs, bool outgoing, const char* key) {
    std::memset(hs, 0, sizeof *hs);
    hs->outgoing = outgoing;
    size_t n = key ? strnlen(key, NET_KEY_MAX) : 0;
    std::memcpy(hs->key, key, n);
    hs->key_size = (uint32_t)n;
    return net_random_bytes(hs->own_nonce, NET_NONCE_SIZE) == 0 ? 0 : -1;
}

uint32_t net_handshake_hello(const NetHandshake* hs, const char* program, uint8_t* out, uint32_t capacity) {
    NetHello hello = {};
    hello.version = NET_PROTOCOL_VERSION;
    copy_cut(hello.program, sizeof hello.program, program);
    std::memcpy(hello.nonce, hs->own_nonce, NET_NONCE_SIZE);
    hello.flags = hs->key_size > 0 ? (uint32_t)NET_HELLO_HAS_KEY : 0u;
    return net_encode_hello(out, capacity, &hello);
}

int32_t net_handshake_step(NetHandshake* hs, uint8_t type, const uint8_t* payload, uint32_t size,
                           uint8_t proof[NET_DIGEST_SIZE]) {
    if (type == NET_MSG_HELLO) {
        if (hs->have_hello) return NET_HS_OUT_OF_ORDER;
        return take_hello(hs, payload, size, proof);
    }
    if (type == NET_MSG_AUTH) return take_proof(hs, payload, size, proof);
    return hs->have_hello ? NET_HS_NOT_AUTHENTICATED : NET_HS_OUT_OF_ORDER;
}

bool net_handshake_ready(const NetHandshake* hs) { return hs->have_hello && (hs->key_size == 0 || hs->proof_ok); }

int32_t net_auth_proof(const uint8_t* key, uint32_t key_size, bool prover_outgoing,
                       const uint8_t verifier_nonce[NET_NONCE_SIZE], const uint8_t prover_nonce[NET_NONCE_SIZE],
                       uint8_t out[NET_DIGEST_SIZE]) {
    uint8_t message[sizeof kLabel + 1 + 2 * NET_NONCE_SIZE];
    std::memcpy(message, kLabel, sizeof kLabel);  // the terminator separates label and role
    message[sizeof kLabel] = prover_outgoing ? 'C' : 'L';
    std::memcpy(message + sizeof kLabel + 1, verifier_nonce, NET_NONCE_SIZE);
    std::memcpy(message + sizeof kLabel + 1 + NET_NONCE_SIZE, prover_nonce, NET_NONCE_SIZE);
    return net_hmac_sha256(key, key_size, message, sizeof message, out);
}

const char* net_handshake_step_text(int32_t step) {
    switch (step) {
        case NET_HS_BAD_HELLO: return "握手无效";
        case NET_HS_PEER_HAS_NO_KEY: return "对端未配置共享密钥";
        case NET_HS_WE_HAVE_NO_KEY: return "对端要求共享密钥，本端未配置（网络配置或 --net-key=）";
        case NET_HS_BAD_PROOF: return "密钥验证失败（密钥不符或重放的握手）";
        case NET_HS_OUT_OF_ORDER: return "未握手即发送消息";
        case NET_HS_NOT_AUTHENTICATED: return "未通过密钥验证即发送消息";
        case NET_HS_NO_RANDOM: return "系统随机数不可用";
        default: return "?";
    }
}

bool net_address_is_loopback(const char* address) {
    if (!address || !address[0]) return true;
    if (std::strcmp(address, "localhost") == 0 || std::strcmp(address, "::1") == 0) return true;
    // Dotted decimal only: four groups of one to three digits, the first one 127.
    unsigned group[4] = {};
    int groups = 0, digits = 0;
    for (const char* c = address;; c++) {
        if (*c >= '0' && *c <= '9') {
            if (++digits > 3) return false;
            group[groups] = group[groups] * 10 + (unsigned)(*c - '0');
        } else if ((*c == '.' || *c == 0) && digits > 0 && group[groups] <= 255) {
            groups++;
            digits = 0;
            if (*c == 0) break;
            if (groups == 4) return false;
        } else {
            return false;
        }
    }
    return groups == 4 && group[0] == 127;
}
