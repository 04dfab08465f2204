// net_auth.h - the opening of every connection: HELLO with a fresh nonce from each side, then,
// where a shared key is configured, a challenge-response proof of the key.
//
// Each side sends HELLO {protocol version, program name, 32 random bytes, flags} as its first
// frame. A side that has a key sets NET_HELLO_HAS_KEY and requires the peer's proof. The
// connecting side sends its own proof once it has the listener's nonce; the listener sends its
// proof only after the connecting side's proof checked out (anyone can reach a listener, and a
// proof handed to a stranger would let it test guessed keys offline):
//   AUTH = HMAC-SHA256(key, "KXNT-AUTH-2" | prover's role | verifier's nonce | prover's nonce)
// The verifier's nonce is fresh for each connection, so a recorded handshake proves nothing when
// replayed; the role byte ('C' connecting, 'L' listening) stops a proof from being reflected back
// to the side that made it. Until the handshake is complete the only frames accepted are one HELLO
// and one AUTH; anything else ends the connection.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net_crypto.h"
#include "net_wire.h"

enum : uint32_t {
    NET_KEY_MAX = 127,           // bytes of a shared key (UTF-8 text)
    NET_HANDSHAKE_TIMEOUT_MS = 5000,
};

// The handshake state of one connection (owned by the connection's reader).
struct NetHandshake {
    bool outgoing;                     // this side connected (role 'C'), else it listened ('L')
    uint8_t key[NET_KEY_MAX];
    uint32_t key_size;                 // 0 = no key: no proof required or sent
    uint8_t own_nonce[NET_NONCE_SIZE];
    uint8_t peer_nonce[NET_NONCE_SIZE];
    bool have_hello;                   // the peer's HELLO arrived and was valid
    bool proof_ok;                     // the peer proved the key
    char peer_program[32];
    uint32_t peer_version;
};

// What the reader does with one frame while the handshake runs.
enum NetHandshakeStep : int32_t {
    NET_HS_CONTINUE = 0,       // handshake frame taken; wait for more
    NET_HS_SEND_PROOF = 1,     // send our AUTH (`proof`), then go on: the connecting side on the peer's
                               // HELLO, the listener once the peer's proof checked out
    NET_HS_READY = 2,          // the handshake is complete (check net_handshake_ready after SEND_PROOF too)
    NET_HS_BAD_HELLO = -1,     // HELLO malformed or of another protocol version
    NET_HS_PEER_HAS_NO_KEY = -2,   // we require a proof, the peer has no key
    NET_HS_WE_HAVE_NO_KEY = -3,    // the peer requires a proof, we have no key
    NET_HS_BAD_PROOF = -4,     // the peer's proof does not match: wrong key or replayed handshake
    NET_HS_OUT_OF_ORDER = -5,  // a frame other than HELLO before HELLO, a second HELLO, or AUTH unasked
    NET_HS_NOT_AUTHENTICATED = -6,  // a normal frame before the peer proved the key
    NET_HS_NO_RANDOM = -7,     // the system's random source failed
};

// Starts a handshake: copies the key (cut to NET_KEY_MAX bytes) and draws this side's nonce.
// 0, or -1 when no random bytes could be had.
int32_t net_handshake_init(NetHandshake* hs, bool outgoing, const char* key);
// This side's HELLO payload; its size, or 0 when `capacity` is too small.
uint32_t net_handshake_hello(const NetHandshake* hs, const char* program, uint8_t* out, uint32_t capacity);
// Takes one frame that arrived before the handshake completed. On NET_HS_SEND_PROOF `proof`
// holds the payload of our AUTH frame.
int32_t net_handshake_step(NetHandshake* hs, uint8_t type, const uint8_t* payload, uint32_t size,
                           uint8_t proof[NET_DIGEST_SIZE]);
// True when normal frames may flow: the peer's HELLO arrived and, if we have a key, its proof.
bool net_handshake_ready(const NetHandshake* hs);
// The proof one side sends: HMAC over the fixed label, the prover's role and both nonces.
int32_t net_auth_proof(const uint8_t* key, uint32_t key_size, bool prover_outgoing,
                       const uint8_t verifier_nonce[NET_NONCE_SIZE], const uint8_t prover_nonce[NET_NONCE_SIZE],
                       uint8_t out[NET_DIGEST_SIZE]);
// Log text of a refusal.
const char* net_handshake_step_text(int32_t step);
// True for addresses that only this computer can reach (127.0.0.0/8, ::1, "localhost"; empty
// counts as the transports' default 127.0.0.1).
bool net_address_is_loopback(const char* address);
