// Tests of the GDB protocol byte work, gdbremote.ini and image parsing (no sockets).
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gdb_driver.h"
#include "gdb_link.h"
#include "gdb_protocol.h"
#include "gdb_test_log.h"

namespace {

std::string decode(const std::string& body, size_t capacity = 256) {
    std::vector<uint8_t> out(capacity);
    int32_t n = gdb_decode_body((const uint8_t*)body.data(), body.size(), out.data(), out.size());
    return n < 0 ? "<bad>" : std::string((const char*)out.data(), (size_t)n);
}

TEST(GdbProtocol, FramedBinaryPayloadScansAndDecodesBackUnchanged) {
    std::vector<uint8_t> payload;
    for (int i = 0; i < 256; i++) payload.push_back((uint8_t)i);
    const char* specials = "$#}*$$##";
    payload.insert(payload.end(), specials, specials + 8);
    uint8_t framed[1024];
    int32_t n = gdb_frame(payload.data(), payload.size(), framed, sizeof framed);
    ASSERT_GT(n, 0);
    // Nothing inside the frame may look like its end or the start of another.
    for (int32_t i = 1; i < n - 3; i++) ASSERT_TRUE(framed[i] != '$' && framed[i] != '#') << i;
    GdbScan s = gdb_scan(framed, (uint32_t)n, 4096);
    ASSERT_EQ(s.kind, GDB_SCAN_PACKET);
    EXPECT_EQ(s.consumed, (uint32_t)n);
    uint8_t decoded[512];
    int32_t m = gdb_decode_body(framed + s.body_offset, s.body_size, decoded, sizeof decoded);
    ASSERT_EQ(m, (int32_t)payload.size());
    EXPECT_EQ(0, std::memcmp(decoded, payload.data(), payload.size()));
    // A buffer one byte too small is refused rather than overrun.
    EXPECT_EQ(gdb_frame(payload.data(), payload.size(), framed, (size_t)n - 1), -1);
}

TEST(GdbProtocol, ScanSortsAcksJunkPartialFramesAndBadChecksums) {
    auto scan = [](const std::string& s, uint32_t max = 4096) {
        return gdb_scan((const uint8_t*)s.data(), (uint32_t)s.size(), max);
    };
    EXPECT_EQ(scan("+$OK#9a").kind, GDB_SCAN_ACK);
    EXPECT_EQ(scan("-").kind, GDB_SCAN_NACK);
    GdbScan junk = scan("xyz\r\n$OK#9a");
    EXPECT_EQ(junk.kind, GDB_SCAN_JUNK);
    EXPECT_EQ(junk.consumed, 5u);
    EXPECT_EQ(scan("$OK#9").kind, GDB_SCAN_NEED_MORE);
    EXPECT_EQ(scan("$OK").kind, GDB_SCAN_NEED_MORE);
    EXPECT_EQ(scan("$OK#9a").kind, GDB_SCAN_PACKET);
    EXPECT_EQ(scan("$OK#9b").kind, GDB_SCAN_BAD_SUM);
    EXPECT_EQ(scan("$OK#zz").kind, GDB_SCAN_BAD_SUM);
    EXPECT_EQ(scan("%Stop:T05#99").kind, GDB_SCAN_NOTIFY);
    // A frame cut short by a new one is dropped up to the new start.
    GdbScan abandoned = scan("$m200$OK#9a");
    EXPECT_EQ(abandoned.kind, GDB_SCAN_JUNK);
    EXPECT_EQ(abandoned.consumed, 5u);
    // A frame that never ends within the limit is reported as too large.
    std::string endless = "$" + std::string(100, 'a');
    GdbScan big = scan(endless, 64);
    EXPECT_EQ(big.kind, GDB_SCAN_OVERSIZE);
    EXPECT_GT(big.consumed, 0u);
    EXPECT_LE(big.consumed, (uint32_t)endless.size());
    EXPECT_EQ(scan(endless, 4096).kind, GDB_SCAN_NEED_MORE);
}

// A stream of every kind of frame: acknowledgements, junk, abandoned and oversize frames, bad
// sums, notifications and packets, some long.
std::string mixed_stream() {
    std::string s = "+xyz\r\n$m200$OK#9a-%Stop:T05#99$OK#9b+";
    uint8_t framed[2 * GDB_PACKET_MAX + 16];
    std::string body(3000, 'q');
    body += "}#$*";
    int32_t n = gdb_frame((const uint8_t*)body.data(), body.size(), framed, sizeof framed);
    s.append((const char*)framed, (size_t)n);
    s += "$" + std::string(700, 'a');  // longer than the small scan limit below, never ends
    s += "$OK#9a";
    return s;
}

// Every resumed scan of a growing buffer must say exactly what a scan from the start says, for
// any cut of the stream into received pieces.
TEST(GdbProtocol, ResumedScanOfAGrowingBufferMatchesAFreshScan) {
    const std::string stream = mixed_stream();
    for (uint32_t max_frame : {512u, 4096u}) {
        for (uint32_t seed = 1; seed <= 40; seed++) {
            std::string rx;
            uint32_t clean = 0, pos = 0, rng = seed, frames = 0;
            while (pos < stream.size() || !rx.empty()) {
                if (pos < stream.size()) {
                    rng = rng * 1103515245u + 12345u;
                    uint32_t piece = 1 + (rng >> 16) % (seed % 3 == 0 ? 200 : 7);
                    rx += stream.substr(pos, piece);
                    pos += piece < stream.size() - pos ? piece : (uint32_t)(stream.size() - pos);
                }
                for (;;) {
                    const uint8_t* data = (const uint8_t*)rx.data();
                    GdbScan fresh = gdb_scan(data, (uint32_t)rx.size(), max_frame);
                    GdbScan resumed = gdb_scan_resume(data, (uint32_t)rx.size(), max_frame, clean);
                    ASSERT_EQ(resumed.kind, fresh.kind) << "seed " << seed << " at " << pos;
                    ASSERT_EQ(resumed.consumed, fresh.consumed);
                    ASSERT_EQ(resumed.body_offset, fresh.body_offset);
                    ASSERT_EQ(resumed.body_size, fresh.body_size);
                    if (fresh.kind == GDB_SCAN_NEED_MORE) {
                        ASSERT_LE(resumed.clean, rx.size());
                        clean = resumed.clean;
                        break;
                    }
                    rx.erase(0, fresh.consumed);
                    clean = 0;
                    frames++;
                }
                if (pos >= stream.size() && gdb_scan((const uint8_t*)rx.data(), (uint32_t)rx.size(), max_frame).kind ==
                                                GDB_SCAN_NEED_MORE)
                    break;
            }
            EXPECT_GE(frames, 10u) << "seed " << seed;
        }
    }
    // The bytes before `clean` are not looked at again: a hint that hides an end is believed.
    const std::string hidden = "$ab#00cd";
    EXPECT_EQ(gdb_scan((const uint8_t*)hidden.data(), 8, 4096).kind, GDB_SCAN_BAD_SUM);
    EXPECT_EQ(gdb_scan_resume((const uint8_t*)hidden.data(), 8, 4096, 5).kind, GDB_SCAN_NEED_MORE);
    // A hint beyond the buffer is ignored rather than read past its end.
    EXPECT_EQ(gdb_scan_resume((const uint8_t*)hidden.data(), 6, 4096, 100).kind, GDB_SCAN_BAD_SUM);
}

// A server that sends its replies a few bytes at a time, and what the link sent back.
struct TricklePeer {
    std::string incoming;
    size_t pos = 0;
    size_t burst_from = SIZE_MAX;  // from here on, everything left arrives in one piece
    std::string sent;
};
TricklePeer* g_trickle;

NetSock trickle_connect(const char*, int32_t, int32_t, char*, size_t) { return 3; }
int32_t trickle_send(NetSock, const void* data, uint32_t size) {
    g_trickle->sent.append((const char*)data, size);
    return (int32_t)size;
}
int32_t trickle_recv(NetSock, void* out, uint32_t size, int32_t) {
    TricklePeer* p = g_trickle;
    if (p->pos >= p->incoming.size()) return NET_IO_CLOSED;
    size_t n = p->pos >= p->burst_from ? p->incoming.size() : 1 + p->pos % 5;  // else 1 to 5 bytes
    if (n > p->incoming.size() - p->pos) n = p->incoming.size() - p->pos;
    if (n > size) n = size;
    std::memcpy(out, p->incoming.data() + p->pos, n);
    p->pos += n;
    return (int32_t)n;
}
void trickle_none(NetSock) {}

TEST(GdbLink, RepliesTrickledInSmallPiecesDecodeWholeAfterJunkAndABadChecksum) {
    const NetTransport transport = {nullptr,       nullptr,      nullptr,      nullptr,     trickle_connect,
                                    trickle_send,  trickle_recv, trickle_none, trickle_none};
    TricklePeer peer;
    g_trickle = &peer;
    std::string big(4000, 'x');  // damaged copy, good copy and more fit in one receive
    for (size_t i = 0; i < big.size(); i += 97) big[i] = "#$}*"[i % 4];
    uint8_t framed[2 * GDB_PACKET_MAX + 16];
    int32_t n = gdb_frame((const uint8_t*)big.data(), big.size(), framed, sizeof framed);
    ASSERT_GT(n, 0);
    std::string good((const char*)framed, (size_t)n);
    // The damaged copy is longer than the good one: what the link scanned of it must not be taken
    // for a scan of the next frame.
    std::string longer = big + "0123456789";
    n = gdb_frame((const uint8_t*)longer.data(), longer.size(), framed, sizeof framed);
    ASSERT_GT(n, 0);
    std::string bad((const char*)framed, (size_t)n);
    bad[bad.size() - 1] = bad[bad.size() - 1] == '0' ? '1' : '0';
    // Junk and an abandoned frame, the big reply damaged, then correctly.
    peer.incoming = "+noise$m2" + bad + good + "$OK#9a$OK#9a";
    // The damaged copy is scanned up to a few bytes past where the good copy's end will lie, then
    // the rest arrives at once.
    peer.burst_from = peer.incoming.find(bad) + good.size() + 1;
    GdbLink link = {};
    link.timeout_ms = 2000;
    char error[64];
    ASSERT_EQ(gdb_link_open(&link, &transport, "127.0.0.1", 1, 100, error, sizeof error), 0);
    std::vector<uint8_t> reply(GDB_PACKET_MAX + 16);
    int32_t got = gdb_link_receive(&link, reply.data(), reply.size(), 2000);
    ASSERT_EQ(got, (int32_t)big.size());
    EXPECT_EQ(0, std::memcmp(reply.data(), big.data(), big.size()));
    EXPECT_EQ(peer.sent, "-");  // the bad copy was asked for again
    got = gdb_link_receive(&link, reply.data(), reply.size(), 2000);
    ASSERT_EQ(got, 2);
    EXPECT_EQ(0, std::memcmp(reply.data(), "OK", 2));
    gdb_link_close(&link);
}

TEST(GdbProtocol, RunLengthAndEscapesExpandWithinBounds) {
    EXPECT_EQ(decode("0* "), "0000");           // ' ' = 32: three more
    EXPECT_EQ(decode("ab*\"c"), "abbbbbbc");    // '"' = 34: five more
    EXPECT_EQ(decode("}\x03}\x04"), "#$");
    EXPECT_EQ(decode("x*~"), std::string(98, 'x'));
    EXPECT_EQ(decode("*\""), "<bad>");          // nothing to repeat
    EXPECT_EQ(decode("0*"), "<bad>");           // count missing
    EXPECT_EQ(decode("0*\x1f"), "<bad>");       // count below three
    EXPECT_EQ(decode("abc}"), "<bad>");         // escape at the end
    EXPECT_EQ(decode("0*~", 50), "<bad>");      // expands past the buffer
    EXPECT_EQ(decode("0123", 3), "<bad>");
}

TEST(GdbProtocol, RepliesAreClassified) {
    auto is_error = [](const std::string& s, int32_t* code) {
        return gdb_reply_is_error((const uint8_t*)s.data(), s.size(), code);
    };
    int32_t code = 0;
    EXPECT_TRUE(is_error("E0E", &code));
    EXPECT_EQ(code, 14);
    EXPECT_TRUE(is_error("E.memory fault", &code));
    EXPECT_EQ(code, -1);
    EXPECT_FALSE(is_error("E0", &code));
    EXPECT_FALSE(is_error("e0e0", &code));  // hex data of a read, not an error
    int32_t signal = 0;
    EXPECT_TRUE(gdb_reply_is_stop((const uint8_t*)"T02thread:01;", 13, &signal));
    EXPECT_EQ(signal, 2);
    EXPECT_TRUE(gdb_reply_is_stop((const uint8_t*)"S05", 3, &signal));
    EXPECT_FALSE(gdb_reply_is_stop((const uint8_t*)"S05ab", 5, &signal));
    EXPECT_FALSE(gdb_reply_is_stop((const uint8_t*)"OK", 2, &signal));
    char text[8];
    EXPECT_TRUE(gdb_reply_console((const uint8_t*)"O48656c6c6f2c20776f726c64", 25, text, sizeof text));
    EXPECT_STREQ(text, "Hello, ");  // cut to the buffer, terminated
    EXPECT_FALSE(gdb_reply_console((const uint8_t*)"OK", 2, text, sizeof text));
}

TEST(GdbProtocol, SupportedFeaturesAndPacketSizeLimits) {
    GdbFeatures f;
    const char* openocd = "PacketSize=4000;qXfer:memory-map:read+;qXfer:features:read-;QStartNoAckMode+";
    gdb_parse_supported((const uint8_t*)openocd, std::strlen(openocd), &f);
    EXPECT_EQ(f.packet_size, 0x4000u);
    EXPECT_TRUE(f.memory_map && f.no_ack);
    EXPECT_FALSE(f.target_xml);
    const char* huge = "PacketSize=ffffffffffff;qXfer:features:read+";
    gdb_parse_supported((const uint8_t*)huge, std::strlen(huge), &f);
    EXPECT_EQ(f.packet_size, GDB_PACKET_MAX);
    EXPECT_TRUE(f.target_xml);
    gdb_parse_supported((const uint8_t*)"PacketSize=zz;PacketSize=8", 26, &f);
    EXPECT_EQ(f.packet_size, GDB_PACKET_DEFAULT);  // unreadable and absurdly small sizes are ignored
}

TEST(GdbProtocol, MemoryMapRegionsAndFlashLookup) {
    const char* xml =
        "<?xml version=\"1.0\"?><!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
        "\"http://sourceware.org/gdb/gdb-memory-map.dtd\"><memory-map>"
        "<memory type=\"flash\" start=\"0x8000000\" length=\"0x10000\"><property name=\"blocksize\">0x4000</property></memory>"
        "<memory type=\"flash\" start=\"0x8010000\" length=\"0x70000\"><property name=\"blocksize\">0x20000</property></memory>"
        "<memory type=\"ram\" start=\"0x20000000\" length=\"131072\"/>"
        "<memory type=\"weird\" start=\"0x0\" length=\"0x10\"/>"
        "<memory type=\"ram\" start=\"0x30000000\"/>"
        "</memory-map>";
    GdbMemoryMap map;
    ASSERT_EQ(gdb_parse_memory_map(xml, std::strlen(xml), &map), 3);
    EXPECT_EQ(gdb_map_flash_count(&map), 2);
    EXPECT_EQ(map.regions[0].block_size, 0x4000u);
    EXPECT_EQ(map.regions[1].block_size, 0x20000u);
    EXPECT_EQ(map.regions[2].length, 131072u);
    EXPECT_EQ(gdb_map_flash_region(&map, 0x8000000, 0x10000), &map.regions[0]);
    EXPECT_EQ(gdb_map_flash_region(&map, 0x8012000, 0x100), &map.regions[1]);
    EXPECT_EQ(gdb_map_flash_region(&map, 0x800FFFF, 2), nullptr);  // crosses a region end
    EXPECT_EQ(gdb_map_flash_region(&map, 0x20000000, 4), nullptr);  // RAM is not flash
    // A truncated document keeps what was complete and does not read past its end.
    std::string cut(xml, 200);
    gdb_parse_memory_map(cut.data(), cut.size(), &map);
    EXPECT_LE(map.count, 1);
    char arch[8];
    const char* target = "<target><architecture>arm-cortex-m</architecture></target>";
    EXPECT_TRUE(gdb_parse_architecture(target, std::strlen(target), arch, sizeof arch));
    EXPECT_STREQ(arch, "arm-cor");
}

TEST(GdbProtocol, TagsAreFoundAfterNearMissesAndNotPastTheDocumentEnd) {
    // Near misses that share the first characters, then the real tag closing the document.
    const char* target = "<<arch<architectur<architecture<architecture>m0</architecture>";
    char arch[16];
    ASSERT_TRUE(gdb_parse_architecture(target, std::strlen(target), arch, sizeof arch));
    EXPECT_STREQ(arch, "m0");
    // The closing tag cut one byte short, then only its first character left: no match, and no
    // read past the given length (the bytes after it would complete the tag).
    std::string whole = "<architecture>m0</architecture>";
    EXPECT_FALSE(gdb_parse_architecture(whole.data(), whole.size() - 1, arch, sizeof arch));
    EXPECT_FALSE(gdb_parse_architecture(whole.data(), 17, arch, sizeof arch));
    // A region tag preceded by a run of '<' and an attribute name sharing the key's first byte.
    const char* xml = "<<<<memory stat=\"1\" type=\"ram\" start=\"0x20000000\" length=\"0x100\"/>";
    GdbMemoryMap map;
    ASSERT_EQ(gdb_parse_memory_map(xml, std::strlen(xml), &map), 1);
    EXPECT_EQ(map.regions[0].type, GDB_REGION_RAM);
    EXPECT_EQ(map.regions[0].start, 0x20000000u);
    EXPECT_EQ(map.regions[0].length, 0x100u);
}

TEST(GdbConfig, SectionsKindsModesAndMalformedLines) {
    gdb_test_log_clear();
    const char* ini =
        "\xEF\xBB\xBF; servers\n"
        "[bench board]\nhost = localhost\nport=3333\nkind=openocd\n\n"
        "[qemu]\nport=1234\nkind=qemu\ntimeout_ms=250\n"
        "[stlink]\nport=61234\nkind=stlink\nmode=halt\nresume_on_attach=1\n"
        "this line is garbage\n"
        "[broken]\nport=99999\nkind=segger\n"
        "[no port]\nkind=jlink\n";
    GdbConfig c;
    ASSERT_EQ(gdb_config_parse(&c, ini, gdb_test_log_record), 3);
    EXPECT_STREQ(c.servers[0].name, "bench board");
    EXPECT_STREQ(c.servers[0].host, "127.0.0.1");
    EXPECT_EQ(c.servers[0].mode, GDB_MODE_BACKGROUND);
    EXPECT_EQ(c.servers[1].kind, GDB_KIND_QEMU);
    EXPECT_EQ(c.servers[1].mode, GDB_MODE_HALT);
    EXPECT_EQ(c.servers[1].timeout_ms, 250);
    EXPECT_EQ(c.servers[2].mode, GDB_MODE_HALT);  // the ini overrides the kind's default
    EXPECT_EQ(c.servers[2].resume_on_attach, 1);
    std::string all = gdb_test_log_text();
    EXPECT_NE(all.find("第 16 行"), std::string::npos) << all;  // the garbage line, by number
    EXPECT_NE(all.find("port=99999"), std::string::npos) << all;
    EXPECT_NE(all.find("kind=segger"), std::string::npos) << all;
    EXPECT_NE(all.find("[no port]"), std::string::npos) << all;
    GdbConfig d;
    gdb_config_defaults(&d);
    ASSERT_EQ(d.count, 4);
    EXPECT_EQ(d.servers[0].port, 3333);
    EXPECT_EQ(d.servers[3].port, 1234);
    EXPECT_EQ(d.servers[3].mode, GDB_MODE_HALT);
}

TEST(GdbImage, IntelHexAddressesAndChecksums) {
    const char* hex =
        ":020000040800F2\n"
        ":10000000000A0020C1000008C5000008C700000861\n"
        ":0400100001020304E2\n"
        ":020000040801F1\n"
        ":02000000AABB99\n"
        ":00000001FF\n";
    GdbImage image;
    ASSERT_EQ(gdb_image_parse("x.HEX", (const uint8_t*)hex, std::strlen(hex), 0, &image), 0);
    ASSERT_EQ(image.count, 2);  // the first two records join into one run
    EXPECT_EQ(image.segments[0].address, 0x08000000u);
    EXPECT_EQ(image.segments[0].size, 20u);
    EXPECT_EQ(image.bytes[image.segments[0].offset + 19], 0x04);
    EXPECT_EQ(image.segments[1].address, 0x08010000u);
    gdb_image_free(&image);
    std::string bad = hex;
    bad[20] = '1';  // a changed data digit breaks the record checksum
    EXPECT_EQ(gdb_image_parse("x.hex", (const uint8_t*)bad.data(), bad.size(), 0, &image), GDB_ERR_FORMAT);
    const char* unterminated = ":02000000AABB99\n";
    EXPECT_EQ(gdb_image_parse("x.hex", (const uint8_t*)unterminated, 16, 0, &image), GDB_ERR_FORMAT);
    uint8_t raw[3] = {1, 2, 3};
    ASSERT_EQ(gdb_image_parse("x.bin", raw, 3, 0x08004000, &image), 0);
    EXPECT_EQ(image.segments[0].address, 0x08004000u);
    gdb_image_free(&image);
}

#ifdef KX_DEMO_ELF
TEST(GdbImage, DemoFirmwareLoadsVectorsAndInitialisedData) {
    GdbImage image;
    ASSERT_EQ(gdb_image_load(KX_DEMO_ELF, 0, &image), 0);
    ASSERT_GE(image.count, 1);
    EXPECT_EQ(image.segments[0].address, 0x08000000u);
    uint32_t sp;
    std::memcpy(&sp, image.bytes + image.segments[0].offset, 4);
    EXPECT_EQ(sp & 0xFFF00000u, 0x20000000u);  // the initial stack pointer is in RAM
    // .data is stored in flash (its load address), never at its RAM address.
    for (int32_t i = 0; i < image.count; i++) EXPECT_LT(image.segments[i].address, 0x20000000u);
    gdb_image_free(&image);
}
#endif

}  // namespace
