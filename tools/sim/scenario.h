// A parsed scenario: one step per line, fully checked before anything runs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "record.h"

namespace sim {

enum class Verb {
    Module,
    Subscribe,
    Subscribe4,
    Unsubscribe,
    Unsubscribe4,
    BatchStart,
    BatchEnd,
    Send4,   // add4, del4, batch4, relay, message: an IPv4-sized payload
    Send6,   // add6, del6, update6, batch6
    SendIf,  // ifvalid4, ifinvalid4, ifvalid6, ifinvalid6
    QueryConfigured4,
    QueryPrimary4,
    QueryAddr4,
    QuerySrc6,
    QueryIfAddr6,
    QueryAddr6,
    QuerySubscribed,
    QueryCare,
    Walk4,
    Walk6,
    Show,
    MgmtDebug,
    MgmtExport,
    ConfInit,
    ConfFini,
    ConfReply,
    ConfCall,
    Set4,
    Set6,
    SetDest6,
    ExpectEvent,
    ExpectEvents,
    ExpectResult,
    ExpectRecord,
    ExpectCount,
    ExpectValue,
    ExpectLog,
};

bool isExpect(Verb v);

struct Step {
    Verb verb = Verb::Show;
    int line = 0;
    std::string source;  // the line as written, comment and blanks trimmed

    // subscription
    uint32_t handle = 0, module = 0, care = 0;
    std::string moduleName;

    // publisher messages and set-address requests
    uint32_t code = 0;    // message code; event code of an expect line
    uint32_t length = 0;  // payload bytes
    Ipam4AddrInfo rec4{};
    Ipam6AddrInfo rec6{};
    int32_t requestCode = 0;

    // queries and walks
    uint32_t ifIndex = 0, vrfIndex = 0;
    std::string ifName;
    bool byName = false;
    uint8_t addr[16] = {};
    bool hasAddr = false;

    // management
    uint32_t mgmtOp = 0;
    int32_t param = 0;
    int32_t page = -1;  // records per page; -1 no limit
    bool follow = false;

    // configuration channel
    uint32_t hostValue1 = 0, hostValue2 = 0;
    int32_t answer = 0;
    uintptr_t args[4] = {};
    ipamplat_scs_script script{};

    // expectations
    RecordMatch match;
    int64_t number = 0;
    std::string pattern;
};

struct Scenario {
    std::string file;
    std::vector<Step> steps;
    // What is suspect but runs all the same: (line, message).
    std::vector<std::pair<int, std::string>> warnings;
};

}  // namespace sim
