// The scenario language: values in the records' byte order, every form of
// bad line with its position, and the steps that good lines become.
#include <gtest/gtest.h>

#include <cstring>

#include "collector.h"
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
    {"mgmt export4 page=0", 1, 19, "bad page size"},
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

TEST(ScenarioErrors, ANameOf39CharactersIsTheLongestAccepted) {
    Scenario s = parsed("add4 if=1 addr=10.0.0.1 name=012345678901234567890123456789012345678");
    EXPECT_EQ(std::strlen(s.steps.at(0).rec4.ifName), 39u);
}

TEST(ScenarioSteps, RecordsHoldAddressesAndMasksInNetworkByteOrder) {
    Scenario s = parsed("add4 if=3 name=eth0 vrf=2 addr=10.0.0.1/24 attr=PRIMARY|VALID\n"
                        "batch4 if=3 addr=10.1.2.3 mask=255.0.255.0 attr=0x100\n"
                        "add6 if=4 addr=2001:db8::1/64 dest=2001:db8::2 attr=NO_SOURCE\n");
    const Ipam4AddrInfo &r = s.steps.at(0).rec4;
    const uint8_t addr[4] = {10, 0, 0, 1}, mask[4] = {255, 255, 255, 0};
    EXPECT_EQ(std::memcmp(&r.ipAddr, addr, 4), 0);
    EXPECT_EQ(std::memcmp(&r.ipMask, mask, 4), 0);
    EXPECT_EQ(r.ifIndex, 3u);
    EXPECT_EQ(r.vrfIndex, 2u);
    EXPECT_EQ(r.ipAttr, IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID);
    EXPECT_STREQ(r.ifName, "eth0");
    EXPECT_EQ(s.steps.at(0).code, IPAM4_EVT_ADD);

    const uint8_t holed[4] = {255, 0, 255, 0};
    EXPECT_EQ(std::memcmp(&s.steps.at(1).rec4.ipMask, holed, 4), 0);
    EXPECT_EQ(s.steps.at(1).rec4.ipAttr, 0x100u); // unknown bits are carried
    EXPECT_EQ(s.steps.at(1).code, IPAM4_EVT_BATCH);

    const Ipam6AddrInfo &r6 = s.steps.at(2).rec6;
    EXPECT_EQ(r6.ip6Addr[0], 0x20);
    EXPECT_EQ(r6.ip6Addr[15], 0x01);
    EXPECT_EQ(r6.ip6Mask[7], 0xff);
    EXPECT_EQ(r6.ip6Mask[8], 0x00);
    EXPECT_EQ(r6.ip6DestAddr[15], 0x02);
    EXPECT_EQ(r6.ip6Attr, IPAM6_ATTR_NO_SOURCE);
}

TEST(ScenarioSteps, AnAddressWithoutMaskIsAHostRoute) {
    Scenario s = parsed("del4 if=1 addr=10.0.0.1\ndel6 if=1 addr=::1");
    EXPECT_EQ(maskPrefix(reinterpret_cast<const uint8_t *>(&s.steps.at(0).rec4.ipMask), 4), 32);
    EXPECT_EQ(maskPrefix(s.steps.at(1).rec6.ip6Mask, 16), 128);
}

TEST(ScenarioSteps, CommentsBlankLinesAndQuotedValues) {
    Scenario s = parsed("# header\n\n   show   # trailing\nexpect log text=\"a # b\"\n");
    ASSERT_EQ(s.steps.size(), 2u);
    EXPECT_EQ(s.steps.at(0).line, 3);
    EXPECT_EQ(s.steps.at(0).source, "show");
    EXPECT_EQ(s.steps.at(1).pattern, "a # b");
}

TEST(ScenarioSteps, ResultNamesAndNegativeNumbers) {
    Scenario s = parsed("show\nexpect result NOT_FOUND\nexpect result IPAM_CMF_END\n"
                        "expect result -1\nmgmt debug set -3\n");
    EXPECT_EQ(s.steps.at(1).number, IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(s.steps.at(2).number, IPAM_CMF_END);
    EXPECT_EQ(s.steps.at(3).number, -1);
    EXPECT_EQ(s.steps.at(4).param, -3);
}

TEST(Values, AttributeAndEventNamesRoundTrip) {
    uint32_t v = 0;
    std::string err;
    ASSERT_TRUE(parseAttr("IPAM4_ATTR_PRIMARY|IF_VALID|0x200", Family::v4, v, err)) << err;
    EXPECT_EQ(v, 0x222u);
    EXPECT_EQ(attrText(v, Family::v4), "PRIMARY|IF_VALID|0x200");
    EXPECT_EQ(attrText(0, Family::v6), "0");
    ASSERT_TRUE(parseEvents("IPAM4_EVT_VALID|IPAM_EVT_RELAY", v, err));
    EXPECT_EQ(v, 0x10000400u);
    EXPECT_EQ(eventsText(v), "IPAM4_EVT_VALID|IPAM_EVT_RELAY");
    EXPECT_EQ(eventName(0x3), "0x3");
}

TEST(Values, MasksWithHolesHaveNoPrefix) {
    uint8_t m[16];
    prefixMask(65, m, 16);
    EXPECT_EQ(m[8], 0x80);
    EXPECT_EQ(maskPrefix(m, 16), 65);
    const uint8_t holed[4] = {255, 0, 255, 0};
    EXPECT_EQ(maskPrefix(holed, 4), -1);
    const uint8_t zero[4] = {};
    EXPECT_EQ(maskPrefix(zero, 4), 0);
}

TEST(Records, PrintedRecordsParseBackToTheSameRecord) {
    Scenario s = parsed("add6 if=4 name=\"my if\" vrf=1 addr=2001:db8::1 mask=ffff::ff dest=::2 attr=VALID|0x4");
    std::string text = recordText(Record::from6(s.steps.at(0).rec6));
    Scenario again = parsed("add6 " + text);
    EXPECT_EQ(std::memcmp(&s.steps.at(0).rec6, &again.steps.at(0).rec6, sizeof(Ipam6AddrInfo)), 0) << text;
}

TEST(Records, MatchesOnlyTheFieldsWritten) {
    Scenario s = parsed("add4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY\n"
                        "expect record addr=10.0.0.1\n"
                        "expect record addr=10.0.0.1/25\n"
                        "expect record name=eth1\n"
                        "expect event IPAM4_EVT_ADD attr=PRIMARY|VALID\n");
    Record r = Record::from4(s.steps.at(0).rec4);
    EXPECT_TRUE(s.steps.at(1).match.matches(r));
    EXPECT_FALSE(s.steps.at(2).match.matches(r));
    EXPECT_FALSE(s.steps.at(3).match.matches(r));
    EXPECT_FALSE(s.steps.at(4).match.matches(r));
    Record six = r;
    six.v6 = true;
    EXPECT_FALSE(s.steps.at(1).match.matches(six)); // an IPv4 address never matches IPv6
}

TEST(Logs, ThreadIdsAndPointersAreNormalised) {
    EXPECT_EQ(normaliseLog("(PID:12345)batch start"), "(PID:*)batch start");
    EXPECT_EQ(normaliseLog("(PID:7)Subscriber input: 0x1 42 0x8 0x55d0c0ffee"),
              "(PID:*)Subscriber input: 0x1 42 0x8 <callback>");
    EXPECT_EQ(normaliseLog("no prefix"), "no prefix");
}

} // namespace
