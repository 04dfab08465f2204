// Tests of the GDB protocol byte work, gdbremote.ini and image parsing (no sockets).
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gdb_driver.h"
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
