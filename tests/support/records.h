// Address records built from text, and a recorder for the host's events.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ipam.h"

namespace ipamtest {

// A record from "address/prefix" text, e.g. "10.0.0.1/24" or
// "2001:db8::1/64" (the prefix length becomes the mask). The name defaults
// to "if<ifIndex>"; every other byte is zero.
Ipam4AddrInfo addr4(uint32_t ifIndex, const char *cidr, uint32_t attr = 0, uint32_t vrf = 0,
                    const char *ifName = nullptr);
Ipam6AddrInfo addr6(uint32_t ifIndex, const char *cidr, uint32_t attr = 0, uint32_t vrf = 0,
                    const char *ifName = nullptr);

// "if=3 vrf=0 10.0.0.1/255.255.255.0 attr=0x40 name=if3": readable in a
// failed comparison.
std::string describe(const Ipam4AddrInfo &r);
std::string describe(const Ipam6AddrInfo &r);

// "BATCH_START", "ADD4", "VALID6", ... and "0x<hex>" for any other code.
std::string eventName(uint32_t code);

// An event as the host saw it: "ADD4 if=3 ...", or "<name> null" when a
// code that carries a record came without one.
struct Event {
    uint32_t code;
    bool hasRecord;
    std::string text;
};

// Records every call of the host's event callback; one per program, as the
// callback is a plain function pointer.
class EventLog {
public:
    // The callback to hand to IPAM_SubscribeEvent.
    static int32_t callback(uint32_t code, void *record);

    std::vector<Event> events() const;
    std::vector<std::string> texts() const;  // in order
    void clear();
    // Runs inside the callback after recording (null: none).
    void setHook(std::function<void(uint32_t, void *)> hook);

private:
    mutable std::mutex mu_;
    std::vector<Event> events_;
    std::function<void(uint32_t, void *)> hook_;
};

EventLog &eventLog();

// An event's text as EventLog records it.
std::string ev(uint32_t code, const Ipam4AddrInfo &r);
std::string ev(uint32_t code, const Ipam6AddrInfo &r);
std::string ev(uint32_t code);

}  // namespace ipamtest
