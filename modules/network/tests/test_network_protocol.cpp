// Wire codecs and frame I/O: round trips, payloads that lie about their counts and lengths, and
// frame reads over a socket pair whose far end sends garbage, an absurd length, a frame cut off
// by a disconnect, a frame dribbled byte by byte, or a frame that stalls.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "net_transport.h"
#include "net_wire.h"

namespace {

//-------------------------------------------------------------------------------------------------
// Codecs
//-------------------------------------------------------------------------------------------------

TEST(NetWire, HeaderRoundTripAndEveryRejection) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, NET_MSG_TABLE, 1234);
    EXPECT_EQ(std::memcmp(raw, "KXNT", 4), 0);  // readable in a capture
    NetFrameHeader h;
    ASSERT_EQ(net_header_decode(raw, &h), NET_HEADER_OK);
    EXPECT_EQ(h.type, NET_MSG_TABLE);
    EXPECT_EQ(h.length, 1234u);

    uint8_t bad[NET_HEADER_SIZE];
    std::memcpy(bad, raw, sizeof bad);
    bad[0] = 'X';
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_BAD_MAGIC);
    std::memcpy(bad, raw, sizeof bad);
    bad[4] = 1;  // a program of the protocol without the key exchange
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_BAD_VERSION);
    net_header_encode(bad, 0, 0);
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_BAD_TYPE);
    net_header_encode(bad, NET_MSG_LAST + 1, 0);
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_BAD_TYPE);
    net_header_encode(bad, NET_MSG_SAMPLES, NET_PAYLOAD_MAX + 1);
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_TOO_LARGE);
    net_header_encode(bad, NET_MSG_SAMPLES, 0xFFFFFFFFu);
    EXPECT_EQ(net_header_decode(bad, &h), NET_HEADER_TOO_LARGE);
}

TEST(NetWire, LeavesRoundTripCutsLongNamesAndRejectsLies) {
    NetLeafEntry in[2] = {};
    std::strcpy(in[0].name, "g_motor.speed_rpm");
    in[0].address = 0x20000010;
    in[0].size = 4;
    std::memset(in[1].name, 'n', NET_NAME_MAX);  // the longest name there is
    in[1].address = 0xFFFFFFFFFFFFFFF0ull;
    in[1].size = 8;
    std::vector<uint8_t> buf(4096);
    uint32_t n = net_encode_leaves(buf.data(), (uint32_t)buf.size(), in, 2);
    ASSERT_GT(n, 0u);
    NetLeafEntry out[4];
    uint32_t count = 99;
    ASSERT_EQ(net_decode_leaves(buf.data(), n, out, 4, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(out[0].name, "g_motor.speed_rpm");
    EXPECT_EQ(out[0].address, 0x20000010u);
    EXPECT_EQ(out[1].address, 0xFFFFFFFFFFFFFFF0ull);
    EXPECT_EQ(std::strlen(out[1].name), (size_t)NET_NAME_MAX);

    // Short by one byte, one byte too many, more entries than the receiver holds.
    EXPECT_EQ(net_decode_leaves(buf.data(), n - 1, out, 4, &count), -1);
    EXPECT_EQ(count, 0u);
    buf[n] = 0;
    EXPECT_EQ(net_decode_leaves(buf.data(), n + 1, out, 4, &count), -1);
    EXPECT_EQ(net_decode_leaves(buf.data(), n, out, 1, &count), -1);
    // A count far beyond the limit is refused before any entry is read.
    uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(net_decode_leaves(huge, 4, out, 4, &count), -1);
    // An output too small for the payload makes the encoder report nothing rather than a cut frame.
    EXPECT_EQ(net_encode_leaves(buf.data(), 20, in, 2), 0u);
}

TEST(NetWire, SamplesAndHistoryRoundTripAndBadIndexes) {
    NetWireSample s[2] = {};
    s[0].index = 3;
    s[0].timestamp_us = -1;
    s[0].value = 1500.0;
    s[0].size = 4;
    s[0].raw[0] = 0xAB;
    s[0].origin = 1;
    std::strcpy(s[0].text, "1500");
    s[1].index = 0;
    s[1].timestamp_us = 1700000000123456;
    s[1].value = -0.5;
    s[1].size = 2;
    std::vector<uint8_t> buf(2048);
    uint32_t n = net_encode_samples(buf.data(), (uint32_t)buf.size(), s, 2);
    NetWireSample out[2];
    uint32_t count = 0;
    ASSERT_EQ(net_decode_samples(buf.data(), n, out, 2, &count), 0);
    EXPECT_EQ(out[0].index, 3);
    EXPECT_EQ(out[0].timestamp_us, -1);
    EXPECT_EQ(out[0].value, 1500.0);
    EXPECT_EQ(out[0].raw[0], 0xAB);
    EXPECT_EQ(out[0].origin, 1);
    EXPECT_STREQ(out[0].text, "1500");
    EXPECT_EQ(out[1].timestamp_us, 1700000000123456);

    const char* names[] = {"a", "b.c"};
    s[0].index = 1;
    n = net_encode_history(buf.data(), (uint32_t)buf.size(), names, 2, s, 2, true);
    char got_names[4][NET_NAME_MAX + 1];
    uint32_t name_count = 0;
    bool last = false;
    ASSERT_EQ(net_decode_history(buf.data(), n, got_names, 4, &name_count, out, 2, &count, &last), 0);
    EXPECT_TRUE(last);
    EXPECT_EQ(name_count, 2u);
    EXPECT_STREQ(got_names[1], "b.c");
    EXPECT_EQ(out[0].index, 1);
    // A sample that points past the chunk's names is refused.
    s[0].index = 2;
    n = net_encode_history(buf.data(), (uint32_t)buf.size(), names, 2, s, 2, false);
    EXPECT_EQ(net_decode_history(buf.data(), n, got_names, 4, &name_count, out, 2, &count, &last), -1);
}

TEST(NetWire, TextLongerThanItsLimitIsMalformed) {
    NetWriteRequest req = {7, "x", "1"};
    uint8_t buf[400];
    uint32_t n = net_encode_write(buf, sizeof buf, &req);
    // Patch the value's length byte (the last text) to claim 200 bytes: beyond NET_TEXT_MAX.
    std::vector<uint8_t> evil(buf, buf + n - 2);
    evil.push_back(200);
    evil.insert(evil.end(), 200, 'v');
    NetWriteRequest out;
    EXPECT_EQ(net_decode_write(evil.data(), (uint32_t)evil.size(), &out), -1);
    ASSERT_EQ(net_decode_write(buf, n, &out), 0);
    EXPECT_EQ(out.request_id, 7u);
    EXPECT_STREQ(out.value, "1");
}

//-------------------------------------------------------------------------------------------------
// Frame I/O over a socket pair
//-------------------------------------------------------------------------------------------------

class FrameIo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    void send_raw(const void* data, size_t n) { ASSERT_EQ(write(fds_[1], data, n), (ssize_t)n); }
    void close_far_end() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    int32_t read(NetFrameHeader* h, int32_t frame_timeout_ms = 2000) {
        NetReadLimits limits = {20, frame_timeout_ms};
        return net_read_frame(net_transport_platform(), fds_[0], h, payload_.data(), (uint32_t)payload_.size(), &stop_,
                              &limits);
    }
    int fds_[2] = {-1, -1};
    std::vector<uint8_t> payload_ = std::vector<uint8_t>(4096);
    std::atomic<bool> stop_{false};
};

TEST_F(FrameIo, WholeFrameThenOrderlyClose) {
    uint8_t body[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(net_write_frame(net_transport_platform(), fds_[1], NET_MSG_TABLE, body, 5), 0);
    NetFrameHeader h;
    ASSERT_EQ(read(&h), NET_READ_OK);
    EXPECT_EQ(h.type, NET_MSG_TABLE);
    ASSERT_EQ(h.length, 5u);
    EXPECT_EQ(std::memcmp(payload_.data(), body, 5), 0);
    close_far_end();
    EXPECT_EQ(read(&h), NET_READ_CLOSED);
}

TEST_F(FrameIo, PeerDisconnectsMidFrame) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, NET_MSG_SAMPLES, 100);
    send_raw(raw, sizeof raw);
    std::vector<uint8_t> part(40, 0x55);  // 40 of the promised 100 bytes
    send_raw(part.data(), part.size());
    close_far_end();
    NetFrameHeader h;
    EXPECT_EQ(read(&h), NET_READ_TRUNCATED);
}

TEST_F(FrameIo, PeerDisconnectsInsideTheHeader) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, NET_MSG_SAMPLES, 100);
    send_raw(raw, 7);
    close_far_end();
    NetFrameHeader h;
    EXPECT_EQ(read(&h), NET_READ_TRUNCATED);
}

TEST_F(FrameIo, OversizeLengthIsRejectedWithoutReadingThePayload) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, NET_MSG_TABLE, 0x7FFFFFFF);
    send_raw(raw, sizeof raw);
    send_raw("tail", 4);
    NetFrameHeader h;
    EXPECT_EQ(read(&h), NET_READ_TOO_LARGE);
    // The bytes after the header are still unread: the reader allocated and consumed nothing more.
    char tail[4];
    ASSERT_EQ(::read(fds_[0], tail, 4), 4);
    EXPECT_EQ(std::memcmp(tail, "tail", 4), 0);

    // A length within the protocol's limit but above the reader's buffer is refused the same way.
    net_header_encode(raw, NET_MSG_TABLE, (uint32_t)payload_.size() + 1);
    send_raw(raw, sizeof raw);
    EXPECT_EQ(read(&h), NET_READ_TOO_LARGE);
}

TEST_F(FrameIo, GarbageIsABadHeader) {
    send_raw("GET / HTTP/1.1\r\n", 16);
    NetFrameHeader h;
    EXPECT_EQ(read(&h), NET_READ_BAD_HEADER);
}

TEST_F(FrameIo, FrameDribbledByteByByteArrivesWhole) {
    std::vector<uint8_t> frame(NET_HEADER_SIZE + 300);
    net_header_encode(frame.data(), NET_MSG_HISTORY, 300);
    for (int i = 0; i < 300; i++) frame[NET_HEADER_SIZE + i] = (uint8_t)i;
    int far = fds_[1];
    std::thread writer([far, &frame] {
        for (uint8_t b : frame) {
            if (write(far, &b, 1) != 1) return;
            if (b % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    NetFrameHeader h;
    EXPECT_EQ(read(&h), NET_READ_OK);
    writer.join();
    EXPECT_EQ(h.length, 300u);
    EXPECT_EQ(payload_[299], (uint8_t)(299 & 0xFF));
}

TEST_F(FrameIo, StalledFrameTimesOutAndStopFlagEndsIdleWait) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, NET_MSG_TABLE, 10);
    send_raw(raw, sizeof raw);
    send_raw("abc", 3);  // then silence
    NetFrameHeader h;
    EXPECT_EQ(read(&h, 150), NET_READ_STALLED);

    std::thread raiser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        stop_.store(true);
    });
    EXPECT_EQ(read(&h), NET_READ_STOPPED);  // idle between frames until the stop
    raiser.join();
}

}  // namespace
