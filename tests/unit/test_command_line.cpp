// Command-line tokenising: every option, the first plain argument, and the odd cases.
#include <gtest/gtest.h>

#include <string>

#include "core/command_line.h"
#include "core/text.h"

namespace {

// Parses a copy of the text (parsing splits it in place, so it must outlive the options).
struct Parsed {
    explicit Parsed(const char16_t* text) : storage(text) {
        command_line_clear(&o);
        parse_command_line(storage.data(), &o);
    }
    std::u16string storage;
    CommandLineOptions o;
};

std::u16string s(const char16_t* t) { return t ? std::u16string(t) : std::u16string(u"<null>"); }

}  // namespace

TEST(CommandLine, EveryOption) {
    Parsed p(u"fw.elf --select-leaf=motor.speed --layout-load=a.ini --layout-save=b.ini --shot=shots/s "
             u"--rename-tab=调试 --replay=r.csv --replay-all=all.csv --net-listen=9000 "
             u"--net-connect=192.168.1.9:10000 --net-sync --net-watch --net-write=pid.kp=1.5 "
             u"--net-download --net-watchstop=700 --net-shot-at=c.bmp,1500 --net-set=10.0.0.2:10001 "
             u"--watch=a,b.c --net-win=chart,a,b --net-exit=3000 --log=x.log");
    const CommandLineOptions& o = p.o;
    EXPECT_EQ(s(o.elf_path), u"fw.elf");
    EXPECT_EQ(s(o.select_leaf), u"motor.speed");
    EXPECT_EQ(s(o.layout_load_path), u"a.ini");
    EXPECT_EQ(s(o.layout_save_path), u"b.ini");
    EXPECT_EQ(o.no_layout, 0);
    EXPECT_EQ(s(o.shot_prefix), u"shots/s");
    EXPECT_EQ(s(o.rename_tab), u"调试");
    EXPECT_EQ(s(o.replay_path), u"r.csv");
    EXPECT_EQ(s(o.replay_all_path), u"all.csv");
    EXPECT_EQ(o.net_listen_port, 9000);
    EXPECT_EQ(s(o.net_connect_host), u"192.168.1.9");
    EXPECT_EQ(o.net_connect_port, 10000);
    EXPECT_EQ(o.net_sync, 1);
    EXPECT_EQ(o.net_watch, 1);
    EXPECT_STREQ(o.net_write_name, "pid.kp");
    EXPECT_STREQ(o.net_write_value, "1.5");
    EXPECT_EQ(o.net_download, 1);
    EXPECT_EQ(o.net_watchstop_ms, 700);
    EXPECT_EQ(s(o.net_shot_at_path), u"c.bmp");
    EXPECT_EQ(o.net_shot_at_ms, 1500);
    EXPECT_EQ(s(o.net_set_address), u"10.0.0.2");
    EXPECT_EQ(s(o.net_set_port), u"10001");
    EXPECT_EQ(s(o.watch_list), u"a,b.c");
    EXPECT_EQ(s(o.window_spec), u"chart,a,b");
    EXPECT_EQ(o.net_exit_ms, 3000);
}

TEST(CommandLine, DefaultsAndPlainArguments) {
    Parsed none(u"");
    EXPECT_EQ(none.o.net_listen_port, -1);
    EXPECT_EQ(none.o.elf_path, nullptr);
    // Runs of blanks are skipped; the second plain argument and unknown options after it are ignored.
    Parsed p(u"   first.elf   second.elf --no-layout  --bogus ");
    EXPECT_EQ(s(p.o.elf_path), u"first.elf");
    EXPECT_EQ(p.o.no_layout, 1);
    // An unknown option before any plain argument is taken as the firmware path.
    Parsed q(u"--bogus fw.elf");
    EXPECT_EQ(s(q.o.elf_path), u"--bogus");
    // Exact options do not match longer tokens.
    Parsed r(u"--no-layoutX --net-syncing");
    EXPECT_EQ(r.o.no_layout, 0);
    EXPECT_EQ(r.o.net_sync, 0);
    EXPECT_EQ(s(r.o.elf_path), u"--no-layoutX");
}

TEST(CommandLine, ValuesWithoutTheirSeparatorAreIgnored) {
    Parsed p(u"--net-connect=10.0.0.5 --net-write=novalue --net-shot-at=c.bmp --net-set=192.168.1.9");
    EXPECT_EQ(s(p.o.net_connect_host), u"");
    EXPECT_EQ(p.o.net_connect_port, 0);
    EXPECT_STREQ(p.o.net_write_name, "");
    EXPECT_EQ(s(p.o.net_shot_at_path), u"");
    EXPECT_EQ(p.o.net_shot_at_ms, 0);
    // --net-set= without a colon: the whole value is the address, the port stays empty.
    EXPECT_EQ(s(p.o.net_set_address), u"192.168.1.9");
    EXPECT_EQ(s(p.o.net_set_port), u"");
    EXPECT_EQ(p.o.elf_path, nullptr);
}

TEST(CommandLine, WatchFollowedByBlankAndRepeatedOptions) {
    // "--watch= a,b": an empty list, then a plain argument taken as the firmware path.
    Parsed p(u"--watch= a,b --net-exit=abc --net-win=num,x --net-win=chart,y --watch=c");
    EXPECT_EQ(s(p.o.elf_path), u"a,b");
    EXPECT_EQ(s(p.o.watch_list), u"c");
    EXPECT_EQ(s(p.o.window_spec), u"chart,y");
    EXPECT_EQ(p.o.net_exit_ms, 0);  // not a number
    Parsed q(u"--watch=");
    EXPECT_EQ(s(q.o.watch_list), u"");
}

TEST(CommandLine, FieldsAreCutToTheirSize) {
    std::u16string longname(400, u'n');
    std::u16string text = u"--shot=" + longname + u" --net-set=" + longname;
    Parsed p(text.c_str());
    EXPECT_EQ(text16_len(p.o.shot_prefix), 259u);
    EXPECT_EQ(text16_len(p.o.net_set_address), 63u);
}

// A write names a variable and a value: cut to 63 bytes, a name can become another variable's
// ("gain" for "gain_limit") and a value another value. Too long is no write at all.
TEST(CommandLine, NetWriteIsTakenWholeOrNotAtAll) {
    const std::u16string gain = u"controller_axis_parameters.velocity_loop.proportional_path.gain";
    ASSERT_EQ(gain.size(), 63u);
    const std::u16string padded = u"0x" + std::u16string(61, u'0') + u"FF";  // 0xFF, 65 characters
    const std::u16string tries[] = {u"--net-write=" + gain + u"_limit=5", u"--net-write=" + gain + u"=" + padded,
                                    u"--net-write=" + gain + u"=" + std::u16string(22, u'增')};  // 66 bytes of UTF-8
    for (const std::u16string& t : tries) {
        Parsed p(t.c_str());
        EXPECT_STREQ(p.o.net_write_name, "");
        EXPECT_STREQ(p.o.net_write_value, "");
    }
    Parsed whole((u"--net-write=" + gain + u"=0x00FF").c_str());
    EXPECT_EQ(strlen(whole.o.net_write_name), 63u);
    EXPECT_STREQ(whole.o.net_write_value, "0x00FF");
}

TEST(CommandLine, LogOptionFoundAnywhere) {
    char16_t out[260];
    EXPECT_EQ(command_line_log_path(u"fw.elf --log=C:\\tmp\\k.log --net-exit=5", out, 260), 0);
    EXPECT_EQ(s(out), u"C:\\tmp\\k.log");
    // Plain substring search: it is found even inside another token.
    EXPECT_EQ(command_line_log_path(u"x--log=inner.log", out, 260), 0);
    EXPECT_EQ(s(out), u"inner.log");
    EXPECT_EQ(command_line_log_path(u"--log= fw.elf", out, 260), -1);
    EXPECT_EQ(s(out), u"");
    std::u16string too_long = u"--log=" + std::u16string(260, u'p');
    EXPECT_EQ(command_line_log_path(too_long.c_str(), out, 260), -1);
    std::u16string just_fits = u"--log=" + std::u16string(259, u'p');
    EXPECT_EQ(command_line_log_path(just_fits.c_str(), out, 260), 0);
    EXPECT_EQ(text16_len(out), 259u);
    // The value is skipped by the tokeniser (not taken as the firmware path).
    Parsed p(u"--log=k.log");
    EXPECT_EQ(p.o.elf_path, nullptr);
}

TEST(CommandLine, QuotedPathsAsExplorerPassesThem) {
    // "Open with" quotes the whole path; a blank inside quotes does not split it.
    Parsed p(u"\"C:\\My Firmware\\demo.elf\" --layout-load=\"D:\\lay outs\\a.ini\" \"--replay=C:\\r e\\x.csv\"");
    EXPECT_EQ(s(p.o.elf_path), u"C:\\My Firmware\\demo.elf");
    EXPECT_EQ(s(p.o.layout_load_path), u"D:\\lay outs\\a.ini");
    EXPECT_EQ(s(p.o.replay_path), u"C:\\r e\\x.csv");
    // Backslashes count only before a quote: 2n give n and the quote acts, 2n+1 give a literal quote.
    Parsed q(u"--shot=\"C:\\dir \\\\\" --rename-tab=a\\\"b\\\\\\\"c --select-leaf=\"x\"\"y\" --net-shot-at=\"s p.bmp\",900");
    EXPECT_EQ(s(q.o.shot_prefix), u"C:\\dir \\");
    EXPECT_EQ(s(q.o.rename_tab), u"a\"b\\\"c");
    EXPECT_EQ(s(q.o.select_leaf), u"x\"y");
    EXPECT_EQ(s(q.o.net_shot_at_path), u"s p.bmp");
    EXPECT_EQ(q.o.net_shot_at_ms, 900);
    // An empty quoted argument is a token of its own; an unclosed quote runs to the end.
    Parsed r(u"\"\" fw.elf --replay-all=\"a b");
    EXPECT_EQ(s(r.o.elf_path), u"");
    EXPECT_EQ(s(r.o.replay_all_path), u"a b");
    // Unquoted text reads exactly as it stands, backslashes and all.
    Parsed u(u"C:\\fw\\\\x.elf\\ --net-exit=5");
    EXPECT_EQ(s(u.o.elf_path), u"C:\\fw\\\\x.elf\\");
    EXPECT_EQ(u.o.net_exit_ms, 5);

    char16_t out[260];
    EXPECT_EQ(command_line_log_path(u"fw.elf --log=\"C:\\log dir\\k.log\" --net-exit=5", out, 260), 0);
    EXPECT_EQ(s(out), u"C:\\log dir\\k.log");
    EXPECT_EQ(command_line_log_path(u"\"--log=C:\\a b\\k.log\" fw.elf", out, 260), 0);
    EXPECT_EQ(s(out), u"C:\\a b\\k.log");
    EXPECT_EQ(command_line_log_path(u"--log=\"\" fw.elf", out, 260), -1);
    // A "--log=" text inside another quoted argument is still found, its value read in quotes.
    EXPECT_EQ(command_line_log_path(u"\"x --log=q r.log\"", out, 260), 0);
    EXPECT_EQ(s(out), u"q r.log");
}

TEST(CommandLine, ListenPortMustBeAPort) {
    EXPECT_EQ(Parsed(u"--net-listen=10000").o.net_listen_port, 10000);
    EXPECT_EQ(Parsed(u"--net-listen=65535").o.net_listen_port, 65535);
    // Empty, not a number, zero or out of range: no listening (not port 0).
    for (const char16_t* bad : {u"--net-listen=", u"--net-listen=abc", u"--net-listen=0", u"--net-listen=65536",
                                u"--net-listen=-5", u"--net-listen=80x", u"--net-listen=99999999999"})
        EXPECT_EQ(Parsed(bad).o.net_listen_port, -1) << std::u16string(bad).size();
}
