// fake_gdb_server.cpp - the scripted GDB server of the driver tests (BSD sockets, one thread,
// one client at a time).
#include "fake_gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "../../../tests/data/loopback_port.h"

namespace {

const char kTargetXml[] = "<?xml version=\"1.0\"?><target><architecture>arm</architecture></target>";

std::string to_hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; i++) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string text_hex(const std::string& text) { return to_hex((const uint8_t*)text.data(), text.size()); }

std::vector<uint8_t> from_hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((uint8_t)std::stoul(text.substr(i, 2), nullptr, 16));
    return out;
}

void send_text(int fd, const std::string& s) {
    if (!s.empty()) (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
}

// Repeats of four or more characters become "c*n"; counts that would read as '#' or '$' are cut.
std::string run_length(const std::string& body) {
    std::string out;
    for (size_t i = 0; i < body.size();) {
        size_t run = 1;
        while (i + run < body.size() && body[i + run] == body[i]) run++;
        out += body[i];
        size_t left = run - 1;
        while (left >= 3) {
            size_t n = left > 97 ? 97 : left;
            if (n == 6 || n == 7) n = 5;
            out += '*';
            out += (char)(n + 29);
            left -= n;
        }
        out.append(left, body[i]);
        i += run;
    }
    return out;
}

std::string frame(const std::string& body, bool corrupt) {
    uint8_t sum = 0;
    for (char c : body) sum = (uint8_t)(sum + (uint8_t)c);
    if (corrupt) sum++;
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum);
    return "$" + body + tail;
}

// Undoes escapes of a request body.
std::string unescape(const std::string& body) {
    std::string out;
    for (size_t i = 0; i < body.size(); i++) {
        if (body[i] == '}' && i + 1 < body.size()) out += (char)(body[++i] ^ 0x20);
        else out += body[i];
    }
    return out;
}

// The slice "m..." / "l..." of a qXfer object.
std::string xfer_slice(const std::string& object, const std::string& request) {
    size_t colon = request.rfind(':');
    size_t comma = request.rfind(',');
    uint64_t offset = std::stoull(request.substr(colon + 1, comma - colon - 1), nullptr, 16);
    uint64_t length = std::stoull(request.substr(comma + 1), nullptr, 16);
    if (offset >= object.size()) return "l";
    std::string part = object.substr(offset, length);
    return (offset + part.size() >= object.size() ? "l" : "m") + part;
}

}  // namespace

FakeGdbServer::FakeGdbServer(const FakeGdbOptions& options) : options_(options) {
    std::memset(ram_, 0, sizeof ram_);
    std::memset(flash_, 0xFF, sizeof flash_);
    listener_ = loopback_listen_socket(&port_);
    thread_ = std::thread([this] { serve(); });
}

FakeGdbServer::~FakeGdbServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::vector<std::string> FakeGdbServer::requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

uint8_t FakeGdbServer::ram(uint32_t offset) {
    std::lock_guard<std::mutex> guard(lock_);
    return ram_[offset];
}

std::vector<uint8_t> FakeGdbServer::flash() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<uint8_t>(flash_, flash_ + kFlashSize);
}

void FakeGdbServer::set_ram(uint32_t offset, const void* data, uint32_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    std::memcpy(ram_ + offset, data, size);
}

bool FakeGdbServer::wait_running() {
    for (int i = 0; i < 100 && !running_; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return running_;
}

void FakeGdbServer::serve() {
    while (!stop_) {
        pollfd p = {listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        connections_++;
        no_ack_ = false;
        running_ = false;  // a new client stops the target, as QEMU and OpenOCD do
        if (options_.stop_on_any_byte) send_reply(fd, "T02thread:01;");  // QEMU announces that stop
        handle(fd);
        ::close(fd);
    }
}

void FakeGdbServer::send_reply(int fd, const std::string& body) {
    std::string encoded = body;
    if (options_.escape_replies) {
        encoded.clear();
        for (char c : body) encoded += c == '3' ? std::string("}\x13") : std::string(1, c);
    } else if (options_.run_length) {
        encoded = run_length(body);
    }
    last_frame_ = frame(encoded, false);
    bool corrupt = replies_sent_++ < options_.corrupt_replies;
    send_text(fd, corrupt ? frame(encoded, true) : last_frame_);
}

void FakeGdbServer::handle(int fd) {
    std::string in;
    char buffer[4096];
    while (!stop_) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        in.append(buffer, (size_t)n);
        for (;;) {
            if (in.empty()) break;
            char c = in[0];
            if (options_.stop_on_any_byte && running_) {
                // The byte stops the target and is lost; the stop is reported.
                in.erase(0, 1);
                if (c == 0x03) {
                    std::lock_guard<std::mutex> guard(lock_);
                    requests_.push_back("\x03");
                }
                running_ = false;
                send_reply(fd, "T02thread:01;");
                continue;
            }
            if (c == '+' || c == '-' || c == 0x03 || c != '$') {
                in.erase(0, 1);
                if (c == '-') send_text(fd, last_frame_);
                if (c == 0x03) {
                    std::lock_guard<std::mutex> guard(lock_);
                    requests_.push_back("\x03");
                }
                if (c == 0x03 && running_) {
                    running_ = false;
                    send_reply(fd, "T02thread:01;");
                }
                continue;
            }
            size_t hash = in.find('#');
            if (hash == std::string::npos || hash + 3 > in.size()) break;
            std::string body = in.substr(1, hash - 1);
            unsigned sum_given = (unsigned)std::stoul(in.substr(hash + 1, 2), nullptr, 16);
            in.erase(0, hash + 3);
            uint8_t sum = 0;
            for (char b : body) sum = (uint8_t)(sum + (uint8_t)b);
            if (sum != sum_given || nacks_sent_ < options_.nack_requests) {
                if (sum == sum_given) nacks_sent_++;
                send_text(fd, "-");
                continue;
            }
            if (!no_ack_) send_text(fd, "+");
            std::string request = unescape(body);
            size_t seen;
            {
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back(request);
                seen = requests_.size();
            }
            if ((int32_t)seen == close_at_.load()) {
                send_text(fd, "$00112");
                return;
            }
            if (options_.silent) continue;
            if (!answer(fd, request)) return;
        }
    }
}

std::string FakeGdbServer::memory_map_xml() const {
    char xml[512];
    std::snprintf(xml, sizeof xml,
                  "<?xml version=\"1.0\"?>\n<memory-map>\n"
                  "<memory type=\"flash\" start=\"0x%x\" length=\"0x%x\">\n"
                  "  <property name=\"blocksize\">0x%x</property>\n</memory>\n"
                  "<memory type=\"ram\" start=\"0x%x\" length=\"0x%x\"/>\n</memory-map>\n",
                  kFlashBase, kFlashSize, kFlashBlock, kRamBase, kRamSize);
    return xml;
}

bool FakeGdbServer::answer(int fd, const std::string& r) {
    std::lock_guard<std::mutex> guard(lock_);
    auto starts = [&](const char* prefix) { return r.compare(0, std::strlen(prefix), prefix) == 0; };
    auto locate = [&](uint64_t address, uint64_t length, bool flash_ok) -> uint8_t* {
        if (address >= kRamBase && address + length <= (uint64_t)kRamBase + kRamSize) return ram_ + (address - kRamBase);
        if (flash_ok && address >= kFlashBase && address + length <= (uint64_t)kFlashBase + kFlashSize)
            return flash_ + (address - kFlashBase);
        return nullptr;
    };
    if (starts("qSupported")) {
        char text[160];
        std::snprintf(text, sizeof text, "PacketSize=%x%s%s;qXfer:features:read+", options_.packet_size,
                      options_.offer_no_ack ? ";QStartNoAckMode+" : "",
                      options_.memory_map ? ";qXfer:memory-map:read+" : "");
        send_reply(fd, text);
    } else if (r == "QStartNoAckMode") {
        send_reply(fd, "OK");
        no_ack_ = true;
    } else if (r == "?") {
        send_reply(fd, "S05");
    } else if (starts("qXfer:features:read:target.xml:")) {
        send_reply(fd, xfer_slice(kTargetXml, r));
    } else if (starts("qXfer:memory-map:read::") && options_.memory_map) {
        send_reply(fd, xfer_slice(memory_map_xml(), r));
    } else if (starts("m")) {
        size_t comma = r.find(',');
        uint64_t address = std::stoull(r.substr(1, comma - 1), nullptr, 16);
        uint64_t length = std::stoull(r.substr(comma + 1), nullptr, 16);
        const uint8_t* p = locate(address, length, true);
        if (options_.max_read_bytes && length > options_.max_read_bytes) length = options_.max_read_bytes;
        if (options_.console_on_read) send_reply(fd, "O" + text_hex("reading\n"));
        if (options_.endless_reads) {
            send_text(fd, "$" + std::string(80000, '0'));
            return true;
        }
        send_reply(fd, p ? to_hex(p, length) : "E14");
    } else if (starts("M") || starts("X")) {
        size_t comma = r.find(','), colon = r.find(':');
        uint64_t address = std::stoull(r.substr(1, comma - 1), nullptr, 16);
        uint64_t length = std::stoull(r.substr(comma + 1, colon - comma - 1), nullptr, 16);
        std::vector<uint8_t> data;
        if (r[0] == 'M') data = from_hex(r.substr(colon + 1));
        else data.assign(r.begin() + (long)colon + 1, r.end());
        uint8_t* p = locate(address, length, false);
        if (!p || data.size() != length) send_reply(fd, "E01");
        else {
            if (length) std::memcpy(p, data.data(), length);
            send_reply(fd, "OK");
        }
    } else if (starts("vFlashErase:")) {
        size_t comma = r.find(',');
        uint64_t address = std::stoull(r.substr(12, comma - 12), nullptr, 16);
        uint64_t length = std::stoull(r.substr(comma + 1), nullptr, 16);
        bool aligned = (address - kFlashBase) % kFlashBlock == 0 && length % kFlashBlock == 0;
        uint8_t* p = options_.memory_map ? locate(address, length, true) : nullptr;
        if (!p || p < flash_ || !aligned) send_reply(fd, "E01");
        else {
            std::memset(p, 0xFF, length);
            send_reply(fd, "OK");
        }
    } else if (starts("vFlashWrite:")) {
        size_t colon = r.find(':', 12);
        uint64_t address = std::stoull(r.substr(12, colon - 12), nullptr, 16);
        size_t length = r.size() - colon - 1;
        uint8_t* p = locate(address, length, true);
        if (!p || p < flash_ || p >= flash_ + kFlashSize) send_reply(fd, "E02");
        else {
            // Flash only clears bits: writing over unerased data shows up in the verify.
            for (size_t i = 0; i < length; i++) p[i] &= (uint8_t)r[colon + 1 + i];
            send_reply(fd, "OK");
        }
    } else if (r == "vFlashDone") {
        send_reply(fd, "OK");
    } else if (starts("qRcmd,")) {
        std::vector<uint8_t> bytes = from_hex(r.substr(6));
        std::string command(bytes.begin(), bytes.end());
        if (command == "version" || command == "info version") send_reply(fd, "O" + text_hex("Fake 1.0\n"));
        send_reply(fd, "OK");
    } else if (r == "c") {
        running_ = true;
    } else if (r == "D") {
        send_reply(fd, "OK");
        running_ = true;
        return false;
    } else {
        send_reply(fd, "");
    }
    return true;
}
