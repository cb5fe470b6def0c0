#include "serve_kernel.h"

#include <map>

#include "kernel_table.h"

namespace sim {

struct KernelSource::Impl {
    KernelTable table;
    KernelEvents events;
    std::map<int, bool> usable;  // by interface index, as last published
};

KernelSource::KernelSource() : impl_(std::make_unique<Impl>()) {}
KernelSource::~KernelSource() = default;

bool KernelSource::open(std::string &error) {
    impl_->table.useCarrierAndVrf();
    // Whatever changed, the table is read again and compared: the
    // announcements themselves only wake us.
    return impl_->table.open(error) &&
           impl_->events.open([](bool, rtnl_addr *) {}, [](int, bool, bool) {}, error);
}

int KernelSource::fd() const { return impl_->events.fd(); }

bool KernelSource::refresh(PubTable &table, std::vector<PubMessage> &out, std::string &error) {
    std::vector<KernelRecord> records;
    if (!impl_->table.dump(records, error)) return false;
    impl_->usable = impl_->table.linkStates();
    std::vector<PubRecord> all;
    for (const KernelRecord &k : records) {
        PubRecord r;
        r.v6 = k.v6;
        r.r4 = k.rec4;
        r.r6 = k.rec6;
        all.push_back(r);
    }
    for (PubMessage &m : table.replace(all)) out.push_back(m);
    return true;
}

bool KernelSource::changed(PubTable &table, std::vector<PubMessage> &out, std::string &error) {
    impl_->events.receive();
    impl_->table.refreshLinks();
    const std::map<int, bool> before = impl_->usable;
    for (const auto &[ifIndex, up] : impl_->table.linkStates()) {
        auto was = before.find(ifIndex);
        if (was == before.end() || was->second == up) continue;
        for (bool v6 : {false, true}) {
            const uint32_t code = up ? (v6 ? IPAM6_EVT_IF_VALID : IPAM4_EVT_IF_VALID)
                                     : (v6 ? IPAM6_EVT_IF_INVALID : IPAM4_EVT_IF_INVALID);
            for (PubMessage &m : table.interface(code, static_cast<uint32_t>(ifIndex)))
                out.push_back(m);
        }
    }
    return refresh(table, out, error);
}

}  // namespace sim
