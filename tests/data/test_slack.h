// test_slack.h - time bounds that are themselves the behaviour under test (a hostile peer is
// dropped within its timeout, a dead server is noticed within a few checks) get more room in the
// sanitizer builds: ASan and TSan slow every instruction and lock several times over, and two
// cores shared with other test processes slow them again. The plain build keeps the bound it
// promises, so a real regression there still fails.
#pragma once

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KX_TEST_SANITIZED 1
#endif
#endif
#ifndef KX_TEST_SANITIZED
#define KX_TEST_SANITIZED 0
#endif

// The bound for this build: ms in a plain build, four times ms in a sanitized one.
constexpr int64_t test_slack_ms(int64_t ms) { return KX_TEST_SANITIZED ? 4 * ms : ms; }
