// The runner against the real library: expect lines match events in order,
// export follows its cursor, and --json output is JSON.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "parser.h"
#include "runner.h"

namespace {

using namespace sim;

struct SimRun {
    int status = -1;
    std::string out, err;
};

SimRun run(const std::string &text, bool json = false) {
    Scenario s;
    ParseError e;
    EXPECT_TRUE(parseScenario("t.scn", text, s, e)) << e.line << ":" << e.col << ": " << e.message;
    setUpPlatform(false);
    char *outBuf = nullptr, *errBuf = nullptr;
    size_t outLen = 0, errLen = 0;
    std::FILE *out = open_memstream(&outBuf, &outLen), *err = open_memstream(&errBuf, &errLen);
    Printer printer(out, json);
    SimRun r;
    r.status = runScenario(s, printer, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(outBuf, outLen), r.err.assign(errBuf, errLen);
    std::free(outBuf), std::free(errBuf);
    return r;
}

// A subscribed host with a first batch of three IPv4 records on interface 3,
// the middle one valid; each test ends with the unsubscription it appends.
const std::string kPrologue =
    "subscribe handle=1 module=42 care=IPAM4_EVT_VALID|IPAM4_EVT_INVALID\n"
    "batch start\n"
    "batch4 if=3 name=eth0 addr=10.0.0.1/24 attr=PRIMARY\n"
    "batch4 if=3 name=eth0 addr=10.0.0.2/24 attr=VALID\n"
    "batch4 if=3 name=eth0 addr=10.0.0.3/24\n"
    "batch end\n";
const std::string kEpilogue = "unsubscribe module=42\nexpect result 0\n";

TEST(Expectations, EventsAreMatchedInOrderBehindThePreviousMatch) {
    SimRun ok = run(kPrologue +
                    "batch4 if=3 addr=10.0.0.9/24 attr=VALID\n"
                    "expect event IPAM4_EVT_ADD addr=10.0.0.9\n"
                    "expect event IPAM4_EVT_VALID addr=10.0.0.9\n"
                    "expect events 2\n" +
                    kEpilogue);
    EXPECT_EQ(ok.status, 0) << ok.err;

    SimRun bad = run(kPrologue +
                     "batch4 if=3 addr=10.0.0.9/24 attr=VALID\n"
                     "expect event IPAM4_EVT_VALID\n"
                     "expect event IPAM4_EVT_ADD\n" +
                     kEpilogue);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "t.scn:9: expected event IPAM4_EVT_ADD, got nothing more\n");
    run(kEpilogue);  // the failed run stopped before its unsubscription
}

// Every line of each kind, with --json each a JSON object; export follows
// its cursor over pages and visits every record once.
TEST(Output, JsonLinesAndAnExportFollowingItsCursor) {
    SimRun r = run(kPrologue +
                       "add4 if=4 name=eth1 addr=10.0.1.1/24\n"
                       "add4 if=4 name=eth1 addr=10.0.1.2/24\n"
                       "mgmt export4 page=2 follow\n"
                       "expect count 5\n"
                       "expect result CMF_END\n"
                       "mgmt debug set 0\n"  // an error log line
                       "query care\n"
                       "set6 code=2 if=3 name=\"two words\" addr=2001:db8::1 mask=ffff::ff\n" +
                       kEpilogue,
                   true);
    EXPECT_EQ(r.status, 0) << r.err;
    std::set<std::string> kinds, exported;
    std::istringstream lines(r.out);
    std::string line, step;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        ASSERT_TRUE(j.contains("line") && j.contains("kind")) << line;
        std::string kind = j["kind"].get<std::string>();
        kinds.insert(kind);
        if (kind == "step") step = j.dump();
        if (kind == "record" && step.find("export4") != std::string::npos) {
            EXPECT_TRUE(exported.insert(j.dump()).second) << "exported twice: " << line;
        }
        if (kind == "sent") {
            EXPECT_EQ(j["record"]["name"], "two words");
            EXPECT_TRUE(j["record"]["prefix"].is_null());  // the mask has holes
        }
    }
    EXPECT_EQ(exported.size(), 5u) << r.out;
    for (const char *k : {"step", "event", "result", "log", "value", "sent"})
        EXPECT_TRUE(kinds.count(k)) << "no line of kind " << k;
}

}  // namespace
