// fake_gdb_server.h - a scripted GDB server on 127.0.0.1 (ephemeral port) for the driver's tests:
// a small target with RAM and flash behind the remote protocol, and switches that make it
// misbehave the way real servers and broken networks do.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the fake server behaves.
struct FakeGdbOptions {
    bool offer_no_ack = true;
    uint32_t packet_size = 0x1000;
    int32_t corrupt_replies = 0;      // the first N replies go out with a wrong checksum
    int32_t nack_requests = 0;        // the first N requests are answered with '-'
    bool run_length = false;          // compress repeated characters in replies
    bool escape_replies = false;      // escape every '3' in replies (legal, if pointless)
    uint32_t max_read_bytes = 0;      // an m reply carries at most this many bytes (0 = all)
    bool silent = false;              // reads requests, never answers
    bool memory_map = true;           // publish a memory map with flash
    bool stop_on_any_byte = false;    // like QEMU: a byte while running stops the target (dropped),
                                      // and a new client is told of the stop its connection caused
    bool console_on_read = false;     // an O packet before every m reply
    bool endless_reads = false;       // an m reply starts and never ends (80 KB of digits)
};

// The fake target and its server thread.
class FakeGdbServer {
public:
    static constexpr uint32_t kRamBase = 0x20000000, kRamSize = 0x10000;
    static constexpr uint32_t kFlashBase = 0x08000000, kFlashSize = 0x10000, kFlashBlock = 0x4000;

    explicit FakeGdbServer(const FakeGdbOptions& options);
    ~FakeGdbServer();
    int32_t port() const { return port_; }

    // Decoded request payloads in arrival order (the interrupt byte appears as "\x03").
    std::vector<std::string> requests();
    uint8_t ram(uint32_t offset);
    void set_ram(uint32_t offset, const void* data, uint32_t size);
    // A copy of the flash contents.
    std::vector<uint8_t> flash();
    bool running() const { return running_.load(); }
    int32_t connections() const { return connections_.load(); }
    // The next request is answered with half a reply, then the connection closes.
    void close_on_next_request() { close_at_ = (int32_t)requests().size() + 1; }
    // Waits up to a second for the target to be running (a continue has no reply to wait for).
    bool wait_running();

private:
    void serve();
    void handle(int fd);
    bool answer(int fd, const std::string& request);
    void send_reply(int fd, const std::string& body);
    std::string memory_map_xml() const;

    FakeGdbOptions options_;
    int listener_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<int32_t> connections_{0};
    std::atomic<int32_t> close_at_{-1};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> requests_;
    bool no_ack_ = false;
    int32_t replies_sent_ = 0;
    int32_t nacks_sent_ = 0;
    std::string last_frame_;
    uint8_t ram_[kRamSize];
    uint8_t flash_[kFlashSize];
};
