// The scenario language: every form of bad line with its position, and the
// records that good lines become.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "change_line.h"
#include "parser.h"
#include "record.h"
#include "values.h"

namespace {

using namespace sim;

struct Bad {
    const char *text;
    int line, col;
    const char *message;
};

// Every error form the parser reports, with where it points.
const Bad kBad[] = {
    {"frobnicate if=3", 1, 1, "unknown verb 'frobnicate'"},
    {"\n  if=3", 2, 3, "expected a verb, got 'if=...'"},
    {"add4 if=3 addr=10.0.0.300/24", 1, 16, "bad IPv4 address '10.0.0.300'"},
    {"add6 if=3 addr=2001:db8::g", 1, 16, "bad IPv6 address '2001:db8::g'"},
    {"add4 if=3 addr=10.0.0.1/33", 1, 16, "bad prefix length '33'"},
    {"add4 if=x3 addr=10.0.0.1", 1, 9, "bad number 'x3' for 'if'"},
    {"add4 if=4294967296 addr=10.0.0.1", 1, 9, "bad number '4294967296' for 'if'"},
    {"add4 addr=10.0.0.1", 1, 1, "missing field 'if' for add4"},
    {"add4 if=3", 1, 1, "missing field 'addr' for add4"},
    {"add4 if=3 addr=10.0.0.1 name=0123456789012345678901234567890123456789", 1, 30,
     "record name too long (40 characters, at most 39)"},
    {"add4 if=3 addr=10.0.0.1 attr=PRIMARY|BOGUS", 1, 30, "unknown IPv4 attribute 'BOGUS'"},
    {"add6 if=3 addr=::1 attr=PRIMARY", 1, 25, "unknown IPv6 attribute 'PRIMARY'"},
    {"add4 if=3 addr=10.0.0.1 colour=red", 1, 25, "unknown field 'colour' for add4"},
    {"add4 if=3 if=4 addr=10.0.0.1", 1, 11, "duplicate field 'if'"},
    {"add4 if=3 addr=10.0.0.1/24 mask=255.0.0.0", 1, 33, "either as a prefix length"},
    {"add4 if=3 name=\"eth0 addr=10.0.0.1", 1, 16, "unterminated quoted value"},
    {"subscribe handle=1 module=2 care=IPAM4_EVT_NOPE", 1, 34, "unknown event 'IPAM4_EVT_NOPE'"},
    {"subscribe handle=1 care=0x8", 1, 1, "missing field 'module' for subscribe"},
    {"batch", 1, 1, "missing batch form (start, end)"},
    {"batch middle", 1, 7, "unknown batch form 'middle'"},
    {"query nearest4 if=3", 1, 7, "unknown query form 'nearest4'"},
    {"query primary4", 1, 1, "missing field 'if' or 'name' for query primary4"},
    {"mgmt debug set", 1, 1, "missing debug flag"},
    {"mgmt debug set loud", 1, 16, "unknown debug flag 'loud'"},
    {"mgmt export4 page=0", 1, 19, "bad page size '0' (1 to 100000)"},
    {"mgmt export4 page=-1", 1, 19, "bad page size '-1' (1 to 100000)"},
    {"add4 if=3 addr= 10.0.0.1", 1, 16,
     "missing value for 'addr' (addr=VALUE, no blank after '=')"},
    {"show\nexpect result maybe", 2, 15, "unknown result 'maybe' (a number or CMF_END,"},
    {"show\nexpect result 3000000000", 2, 15, "bad number '3000000000'"},
    {"conf reply err=40000", 1, 16, "bad error code"},
    {"ifvalid4 if=3 len=33", 1, 19, "bad length (4 to 32"},
    {"expect result 0", 1, 1, "expect line before any step"},
    {"show\nexpect event IPAM4_EVT_ADD|IPAM4_EVT_DEL", 2, 14, "exactly one code"},
    {"show\nexpect log", 2, 1, "missing field 'text' for expect log"},
    {"show\nexpect sometimes", 2, 8, "unknown expect form 'sometimes'"},
    {"mgmt export4 follow=yes", 1, 14, "unknown field 'follow'"},
    {"walk4 if", 1, 7, "field 'if' needs a value"},
};

// A scenario that must parse; a missing step then fails through at().
Scenario parsed(const std::string &text) {
    Scenario s;
    ParseError e;
    EXPECT_TRUE(parseScenario("t.scn", text, s, e)) << e.line << ":" << e.col << ": " << e.message;
    return s;
}

TEST(ScenarioErrors, EveryFormNamesItsLineColumnAndFault) {
    for (const Bad &b : kBad) {
        Scenario s;
        ParseError e;
        EXPECT_FALSE(parseScenario("t.scn", b.text, s, e)) << b.text;
        EXPECT_EQ(e.line, b.line) << b.text;
        EXPECT_EQ(e.col, b.col) << b.text << ": " << e.message;
        EXPECT_NE(e.message.find(b.message), std::string::npos)
            << b.text << "\n  got: " << e.message;
    }
}

TEST(ScenarioSteps, GoodLinesBecomeRecordsInNetworkByteOrder) {
    Scenario s = parsed(
        "# header\n\nadd4 if=3 name=eth0 vrf=2 addr=10.0.0.1/24 attr=PRIMARY|VALID # c\n"
        "batch4 if=3 addr=10.1.2.3 mask=255.0.255.0 attr=0x100\n"
        "del6 if=1 addr=::1 name=012345678901234567890123456789012345678\n"
        "expect result NOT_FOUND\nexpect log text=\"a # b\"\n");
    const Ipam4AddrInfo &r = s.steps.at(0).rec4;
    const uint8_t addr[4] = {10, 0, 0, 1}, mask[4] = {255, 255, 255, 0},
                  holed[4] = {255, 0, 255, 0};
    EXPECT_EQ(s.steps.at(0).line, 3);
    EXPECT_EQ(std::memcmp(&r.ipAddr, addr, 4), 0);
    EXPECT_EQ(std::memcmp(&r.ipMask, mask, 4), 0);
    EXPECT_EQ(r.vrfIndex, 2u);
    EXPECT_EQ(r.ipAttr, IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID);
    EXPECT_STREQ(r.ifName, "eth0");
    EXPECT_EQ(std::memcmp(&s.steps.at(1).rec4.ipMask, holed, 4), 0);
    EXPECT_EQ(s.steps.at(1).rec4.ipAttr, 0x100u);  // unknown bits are carried
    EXPECT_EQ(s.steps.at(1).code, IPAM4_EVT_BATCH);
    EXPECT_EQ(maskPrefix(s.steps.at(2).rec6.ip6Mask, 16), 128);  // no mask: a host route
    EXPECT_EQ(std::strlen(s.steps.at(2).rec6.ifName), 39u);      // the longest name accepted
    EXPECT_EQ(s.steps.at(3).number, IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(s.steps.at(4).pattern, "a # b");
}

TEST(ScenarioSteps, PrintedRecordsParseBackToTheSameRecord) {
    Scenario s = parsed(
        "add6 if=4 name=\"my if\" vrf=1 addr=2001:db8::1 mask=ffff::ff dest=::2 attr=VALID|0x4");
    std::string text = recordText(Record::from6(s.steps.at(0).rec6));
    Scenario again = parsed("add6 " + text);
    EXPECT_EQ(std::memcmp(&s.steps.at(0).rec6, &again.steps.at(0).rec6, sizeof(Ipam6AddrInfo)), 0)
        << text;
}

// serve's quick reading of its record commands against the general
// parser, over lines built from valid and broken pieces: whatever the quick
// reading takes must be a line the parser takes, as the very same step.
TEST(ChangeLines, TheQuickReadingTakesOnlyWhatTheParserTakesAndAgrees) {
    const char *verbs[] = {"add4",    "del4",   "batch4", "add6", "del6",
                           "update6", "batch6", "relay",  "show", "add4=1"};
    const char *fields[] = {"if=3",
                            "if=0x10",
                            "if=-1",
                            "if=4294967296",
                            "if=",
                            "if",
                            "=3",
                            "name=eth0",
                            "name=\"eth 0\"",
                            "name=a=b",
                            "name=012345678901234567890123456789012345678",
                            "name=0123456789012345678901234567890123456789",
                            "vrf=7",
                            "vrf=x",
                            "addr=10.0.0.1",
                            "addr=10.0.0.1/24",
                            "addr=10.0.0.1/33",
                            "addr=10.0.0.1/0X18",
                            "addr=10.0.0.1/",
                            "addr=2001:db8::1/64",
                            "addr=2001:db8::1",
                            "addr=::ffff:1.2.3.4/96",
                            "addr=1.2.3",
                            "mask=255.255.0.0",
                            "mask=ffff::",
                            "attr=PRIMARY|VALID",
                            "attr=IPAM_ATTR_VALID|0x100",
                            "attr=NO_SOURCE",
                            "attr=|VALID",
                            "dest=2001:db8::9",
                            "dest=10.0.0.1",
                            "colour=red",
                            "#",
                            "# note",
                            "follow"};
    const char *blanks[] = {" ", "\t", "  ", "\r", " \t"};
    std::mt19937 rng(22);
    auto pick = [&rng](auto &list) { return list[rng() % std::size(list)]; };
    int taken = 0;
    for (int i = 0; i < 40000; ++i) {
        std::string line = rng() % 8 == 0 ? pick(blanks) : "";
        line += pick(verbs);
        // The fields a valid line needs most of the time, so that many are taken.
        if (rng() % 3 != 0) line += std::string(" if=") + std::to_string(rng() % 500);
        if (rng() % 3 != 0) line += rng() % 2 ? " addr=10.9.8.7/16" : " addr=2001:db8::7/64";
        for (int n = static_cast<int>(rng() % 5); n > 0; --n)
            line += pick(blanks) + std::string(pick(fields));
        Step quick;
        if (!parseChangeLine(line, quick)) continue;
        ++taken;
        LexResult lex = lexLine(line);
        Step full;
        ParseError e;
        ASSERT_TRUE(lex.errorCol == 0 && !lex.words.empty() && parseStep(lex.words, full, e))
            << "taken quickly but refused: " << line << ": " << e.message;
        EXPECT_EQ(quick.verb, full.verb) << line;
        EXPECT_EQ(quick.code, full.code) << line;
        EXPECT_EQ(quick.length, full.length) << line;
        if (full.verb == Verb::Send4)
            EXPECT_EQ(std::memcmp(&quick.rec4, &full.rec4, sizeof full.rec4), 0) << line;
        else
            EXPECT_EQ(std::memcmp(&quick.rec6, &full.rec6, sizeof full.rec6), 0) << line;
    }
    EXPECT_GT(taken, 1000);  // the quick reading is used, not only refused
    // The lines a publisher is fed by the hundred thousand are all taken.
    for (const char *plain : {"add4 if=3 name=eth3 addr=11.0.0.1/24 attr=IF_VALID|VALID",
                              "del4 if=3 addr=11.0.0.1/24", "batch6 if=1 addr=2001::1:2/64",
                              "update6 if=2 vrf=1 addr=2001:db8::2 mask=ffff:ffff:: "
                              "dest=2001:db8::9 attr=NO_SOURCE"}) {
        Step s;
        EXPECT_TRUE(parseChangeLine(plain, s)) << plain;
    }
}

}  // namespace
