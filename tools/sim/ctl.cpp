#include "ctl.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "ipam.h"
#include "ipam_platform.h"
#include "link.h"
#include "printer.h"
#include "record.h"
#include "values.h"
#include "wire.h"

namespace sim {

namespace {

constexpr int kWaitMs = 5000;
constexpr int kMaxPages = 1 << 20;

// What a host answered: its result and parameters, their data in host
// order side by side in `bytes` (nothing allocated per record).
struct Answer {
    struct Param {
        int32_t id;
        size_t offset, size;
    };
    int32_t result = 0;
    std::vector<Param> params;
    std::vector<uint8_t> bytes;
    const uint8_t *data(const Param &p) const { return bytes.data() + p.offset; }
};

// One request to host `pid`; false with the reason on stderr unless quiet.
// The connection of the requests so far: a host serves any number of
// requests on one connection, so a whole export takes one.
struct Conn {
    pid_t pid = 0;
    int fd = -1;
    void drop() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
} g_conn;

// A connection to host `pid`, the open one when there is one; -1 with the
// reason on stderr (unless quiet).
int connection(pid_t pid, bool quiet) {
    if (g_conn.fd >= 0 && g_conn.pid == pid) return g_conn.fd;
    g_conn.drop();
    const std::string dir = ipamwire::runDir();
    const int fd = ipamwire::connectTo(ipamwire::cmfPath(dir, pid));
    if (fd < 0) {
        if (!quiet)
            std::fprintf(stderr, "ipam-sim ctl: host %d stopped answering (%s)\n",
                         static_cast<int>(pid), std::strerror(errno));
        return -1;
    }
    // The answer is trusted only from this user's (or root's) process.
    uid_t uid = 0;
    if (!ipamwire::peerAllowed(fd, &uid)) {
        close(fd);
        if (!quiet)
            std::fprintf(stderr, "ipam-sim ctl: refused host %d: it runs as uid %u\n",
                         static_cast<int>(pid), static_cast<unsigned>(uid));
        return -1;
    }
    ipamwire::setTimeouts(fd, kWaitMs);
    g_conn = Conn{pid, fd};
    return fd;
}

// One MgmtReq frame; false when it was not sent whole.
bool sendRequest(int fd, const ipamwire::MgmtRequest &req) {
    uint8_t payload[ipamwire::kMaxPayload];
    const uint32_t n = ipamwire::mgmtRequestEncode(req, payload, sizeof payload);
    return ipamwire::sendFrame(fd, ipamwire::Type::MgmtReq, req.objectId, payload, n);
}

// Reads the answer to the request sent last; `answered` tells whether any
// frame of it came.
bool receive(int fd, const ipamwire::MgmtRequest &req, Answer &out, const char **why,
             bool &answered) {
    bool ok = true;
    out.result = 0;
    out.params.clear();
    out.bytes.clear();
    answered = false;
    auto reader = std::make_unique<ipamwire::PacketReader>();
    for (int frames = 0; ok && frames <= kMaxPages; ++frames) {
        ipamwire::Frame f;
        ok = (reader->pending() || ipamwire::waitReadable(fd, -1, kWaitMs) > 0) &&
             reader->next(fd, f, why) == ipamwire::Recv::Frame;
        answered = answered || ok;
        if (ok && f.type == ipamwire::Type::MgmtDone) {
            out.result = static_cast<int32_t>(f.word);
            if (!reader->pending()) return true;
            *why = "frames after the answer";
            return false;
        }
        if (ok && f.type != ipamwire::Type::MgmtParam) {
            *why = "unexpected frame";
            ok = false;
        }
        if (ok) {
            const size_t at = out.bytes.size();
            out.bytes.resize(at + f.length);
            ipamwire::paramConvert(req.objectId, f.payload, f.length, out.bytes.data() + at, false);
            out.params.push_back({static_cast<int32_t>(f.word), at, f.length});
        }
    }
    return false;
}

void refused(pid_t pid, const char *why) {
    std::fprintf(stderr, "ipam-sim ctl: host %d went away or refused the request (%s)\n",
                 static_cast<int>(pid), why);
}

// One request to host `pid`; false with the reason on stderr. A connection
// kept from an earlier request that the host has since closed (it closes
// idle ones) is replaced once.
bool ask(pid_t pid, const ipamwire::MgmtRequest &req, Answer &out, bool quiet = false) {
    const char *why = "no answer";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = g_conn.fd >= 0 && g_conn.pid == pid;
        const int fd = connection(pid, quiet);
        if (fd < 0) return false;
        bool answered = false;
        if (sendRequest(fd, req) && receive(fd, req, out, &why, answered)) return true;
        g_conn.drop();
        if (!reused || answered) break;
    }
    if (!quiet) refused(pid, why);
    return false;
}

// Sends a request on the connection kept to host `pid` without waiting for
// its answer, so that the host works on it while the last answer is
// printed; false when there is no such connection or the send failed.
bool post(pid_t pid, const ipamwire::MgmtRequest &req) {
    if (g_conn.fd < 0 || g_conn.pid != pid) return false;
    if (sendRequest(g_conn.fd, req)) return true;
    g_conn.drop();
    return false;
}

// The answer to what post() sent, or, when nothing came of it, to the
// same request asked again (on a fresh connection when the kept one
// failed); false with the reason on stderr.
bool collect(pid_t pid, bool posted, const ipamwire::MgmtRequest &req, Answer &out) {
    if (!posted) return ask(pid, req, out);
    const char *why = "no answer";
    bool answered = false;
    if (receive(g_conn.fd, req, out, &why, answered)) return true;
    g_conn.drop();
    if (!answered) return ask(pid, req, out);
    refused(pid, why);
    return false;
}

// What a host process is, seen from outside.
struct HostState {
    int status = kCtlOk;  // kCtlOk: synchronised
    const char *name = "synchronised";
    uint32_t module = 0;
    bool subscribed = false;
};

bool processAlive(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

// When process `pid` started, in seconds since the epoch; 0 when unknown.
// Field 22 of /proc/PID/stat counts clock ticks from boot; the name before
// it is parenthesised and may hold spaces, so fields are counted after the
// last ')'.
double processStart(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *p = std::strrchr(buf, ')');
    if (p == nullptr) return 0;
    int field = 2;
    for (; *p != '\0' && field < 22; ++p)
        if (*p == ' ') ++field;
    const unsigned long long ticks = std::strtoull(p, nullptr, 10);
    unsigned long long boot = 0;
    f = std::fopen("/proc/stat", "r");
    if (f == nullptr) return 0;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "btime %llu", &boot) == 1) break;
    std::fclose(f);
    const long hz = sysconf(_SC_CLK_TCK);
    if (field != 22 || boot == 0 || hz <= 0) return 0;
    return static_cast<double>(boot) + static_cast<double>(ticks) / static_cast<double>(hz);
}

// True when process `pid` is younger than the management socket named after
// it: the host that made the socket is gone and its pid went to another
// process (pids wrap quickly on a busy machine). The boot time is whole
// seconds and the clock may be stepped, hence the margin.
bool pidReused(long pid, const std::string &socketPath) {
    struct stat sb;
    if (stat(socketPath.c_str(), &sb) != 0) return false;
    const double started = processStart(pid);
    return started > 0 && started > static_cast<double>(sb.st_mtime) + 2.0;
}

enum class Bound { No, Yes, Unknown };

// Whether any open socket is bound to `path`, from the kernel's own list of
// Unix sockets (/proc/net/unix: "Num RefCount Protocol Flags Type St Inode
// Path"). A socket file whose listener was closed or killed is in no entry,
// whatever process now has its pid and however the clock was set.
Bound socketBound(const std::string &path) {
    FILE *f = std::fopen("/proc/net/unix", "r");
    if (f == nullptr) return Bound::Unknown;
    Bound b = Bound::No;
    char line[512];
    while (b == Bound::No && std::fgets(line, sizeof line, f) != nullptr) {
        int at = -1;
        if (std::sscanf(line, "%*s %*s %*s %*s %*s %*s %*s %n", &at) != 0 || at < 0) continue;
        std::string bound(line + at);
        while (!bound.empty() && (bound.back() == '\n' || bound.back() == ' ')) bound.pop_back();
        if (bound == path) b = Bound::Yes;
    }
    std::fclose(f);
    return b;
}

// The process that made host `pid`'s management socket (or will make it) is
// alive. With no socket file yet the host may still be starting; a file that
// no socket is bound to and that refuses connections is a dead listener's,
// even when its pid was reused. Otherwise, a process younger than the file
// cannot be its maker.
bool hostAlive(long pid) {
    if (!processAlive(pid)) return false;
    const std::string path = ipamwire::cmfPath(ipamwire::runDir(), static_cast<pid_t>(pid));
    struct stat sb;
    if (lstat(path.c_str(), &sb) != 0) return true;
    switch (socketBound(path)) {
    case Bound::Yes:
        return true;
    case Bound::No: {
        // Confirmed by a refused connection: the list holds paths as they
        // were bound, which a relative run directory or another network
        // namespace spells differently.
        const int fd = ipamwire::connectTo(path);
        if (fd < 0 && errno == ECONNREFUSED) return false;
        if (fd >= 0) close(fd);
        break;
    }
    case Bound::Unknown:
        break;
    }
    return !pidReused(pid, path);
}

// Asks the platform's own status object of host `pid`.
HostState probe(pid_t pid) {
    HostState st;
    ipamwire::MgmtRequest req;
    req.objectId = ipamwire::kStatusObject;
    Answer a;
    if (!ask(pid, req, a, true)) {
        const bool alive = hostAlive(pid);
        st.status = alive ? kCtlNotReady : kCtlNotRunning;
        st.name = alive ? "not ready" : "not running";
        return st;
    }
    uint32_t w[5] = {};
    if (a.params.size() != 1 || a.params[0].size != ipamwire::kStatusSize) {
        st.status = kCtlFailed;
        st.name = "unknown";
        return st;
    }
    for (int i = 0; i < 5; ++i) {
        std::memcpy(&w[i], a.data(a.params[0]) + 4 * i, 4);
        w[i] = ntohl(w[i]);
    }
    st.module = w[0];
    st.subscribed = w[1] != 0;
    const bool connected = w[2] != 0, inBatch = w[3] != 0, batches = w[4] != 0;
    if (!st.subscribed) {
        st.status = kCtlNotSubscribed;
        st.name = "not subscribed";
    } else if (!batches) {
        st.status = kCtlNotSynchronised;
        st.name = inBatch ? "in its first batch" : "waiting for the publisher";
    } else if (inBatch) {
        st.name = "resynchronising";
    } else if (!connected) {
        st.name = "publisher lost";
    }
    return st;
}

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to `seconds` for host `pid` to reach `needed` (kCtlNotSynchronised:
// it answers as subscribed; kCtlOk: synchronised); the state it ends in, said
// on stderr when not reached.
HostState await(pid_t pid, int needed, double seconds) {
    const long long until = nowMs() + static_cast<long long>(seconds * 1000);
    for (;;) {
        HostState st = probe(pid);
        const bool reached = st.status == kCtlOk || st.status == needed;
        const bool hopeless = st.status == kCtlNotRunning || st.status == kCtlFailed;
        if (reached || hopeless || nowMs() >= until) {
            if (!reached) {
                const int p = static_cast<int>(pid);
                if (st.status == kCtlNotReady)
                    std::fprintf(stderr,
                                 "ipam-sim ctl: host %d is running but not ready: no management "
                                 "socket answers (not subscribed yet, or unsubscribed)\n",
                                 p);
                else if (st.status == kCtlFailed)
                    std::fprintf(stderr, "ipam-sim ctl: host %d gave no status\n", p);
                else
                    std::fprintf(stderr, "ipam-sim ctl: host %d is %s\n", p,
                                 st.status == kCtlNotSynchronised
                                     ? (std::string("not synchronised: ") + st.name).c_str()
                                     : st.name);
            }
            return st;
        }
        usleep(50 * 1000);
    }
}

bool noHandler(pid_t pid, const Answer &a) {
    if (a.result != IPAMPLAT_NO_PEER) return false;
    std::fprintf(stderr, "ipam-sim ctl: host %d has no management handler registered\n",
                 static_cast<int>(pid));
    return true;
}

// Every host with a management socket, with its state. A socket whose
// process is gone is removed; one whose process lives but does not answer
// is listed as not ready.
int list(bool json) {
    const std::string dir = ipamwire::runDir();
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "ipam-sim ctl: %s: %s\n", dir.c_str(), std::strerror(errno));
        return kCtlFailed;
    }
    std::vector<long> pids;
    while (dirent *e = readdir(d)) {
        long pid = 0;
        char tail[8] = {};
        if (std::sscanf(e->d_name, "cmf-%ld.%5s", &pid, tail) != 2 ||
            std::strcmp(tail, "sock") != 0 || pid <= 0)
            continue;
        pids.push_back(pid);
    }
    closedir(d);
    std::sort(pids.begin(), pids.end());
    if (!json) std::printf("%-8s %-8s %-10s %s\n", "PID", "MODULE", "SUBSCRIBED", "STATE");
    for (long pid : pids) {
        const HostState st = probe(static_cast<pid_t>(pid));
        if (st.status == kCtlNotRunning) {
            const std::string path = ipamwire::cmfPath(dir, static_cast<pid_t>(pid));
            // Only a socket nobody listens on: a listener may have just come.
            const int fd = ipamwire::connectTo(path);
            if (fd >= 0)
                close(fd);
            else if (unlink(path.c_str()) == 0)
                std::fprintf(stderr, "ipam-sim ctl: removed %s: process %ld is gone\n",
                             path.c_str(), pid);
            continue;
        }
        const bool known = st.status != kCtlNotReady && st.status != kCtlFailed;
        if (json)
            std::printf("{\"pid\":%ld,\"module\":%s,\"subscribed\":%s,\"state\":\"%s\"}\n", pid,
                        known ? std::to_string(st.module).c_str() : "null",
                        st.subscribed ? "true" : "false", st.name);
        else
            std::printf("%-8ld %-8s %-10s %s\n", pid,
                        known ? std::to_string(st.module).c_str() : "-",
                        st.subscribed ? "yes" : "no", st.name);
    }
    return kCtlOk;
}

int debug(pid_t pid, const std::vector<std::string> &args, bool json, double wait) {
    if (args.empty() || (args[0] != "get" && args[0] != "set" && args[0] != "clear")) {
        std::fprintf(stderr, "ipam-sim ctl: debug get | debug set NAMES | debug clear NAMES\n");
        return kCtlUsage;
    }
    // Debug flags need a subscribed host only, not a synchronised one.
    if (args.size() >= 2 || args[0] == "get") {
        const HostState st = await(pid, kCtlNotSynchronised, wait);
        if (st.status != kCtlOk && st.status != kCtlNotSynchronised) return st.status;
    }
    ipamwire::MgmtRequest req;
    req.objectId = IPAM_CMF_OBJ_DEBUG;
    req.count = 1;
    if (args[0] == "get") {
        req.operation = IPAM_CMF_OP_GET;
        req.params[0].id = IPAM_CMF_PARAM_ALL;
        Answer a;
        if (!ask(pid, req, a) || noHandler(pid, a)) return 1;
        if (a.result != IPAM_CMF_END || a.params.size() != 1 || a.params[0].size != 4) {
            std::fprintf(stderr, "ipam-sim ctl: host %d answered %d\n", static_cast<int>(pid),
                         a.result);
            return 1;
        }
        uint32_t word;
        std::memcpy(&word, a.data(a.params[0]), 4);
        if (json)
            std::printf("{\"pid\":%d,\"debug\":%u,\"names\":\"%s\"}\n", static_cast<int>(pid), word,
                        debugNames(word).c_str());
        else
            std::printf("%s %s\n", hex(word).c_str(), debugNames(word).c_str());
        return 0;
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "ipam-sim ctl: debug %s needs bit names (%s)\n", args[0].c_str(),
                     "api, event, sub, rsv, db, all");
        return 2;
    }
    req.operation = args[0] == "set" ? IPAM_CMF_OP_SET : IPAM_CMF_OP_CLEAR;
    for (size_t i = 1; i < args.size(); ++i) {
        auto it = kDebugParams.find(args[i]);
        if (it == kDebugParams.end()) {
            std::fprintf(stderr,
                         "ipam-sim ctl: unknown debug bit '%s' (api, event, sub, rsv, db, all)\n",
                         args[i].c_str());
            return 2;
        }
    }
    for (size_t i = 1; i < args.size(); ++i) {
        req.params[0].id = kDebugParams.at(args[i]);
        Answer a;
        if (!ask(pid, req, a) || noHandler(pid, a)) return 1;
        if (a.result != 0) {
            std::fprintf(stderr, "ipam-sim ctl: host %d answered %d to debug %s %s\n",
                         static_cast<int>(pid), a.result, args[0].c_str(), args[i].c_str());
            return 1;
        }
    }
    return 0;
}

int exportTable(pid_t pid, bool v6, int page, bool json, double wait) {
    if (const HostState st = await(pid, kCtlOk, wait); st.status != kCtlOk) return st.status;
    ipamwire::MgmtRequest req;
    req.objectId = v6 ? IPAM_CMF_OBJ_ADDR6_TABLE : IPAM_CMF_OBJ_ADDR4_TABLE;
    req.pageLimit = page;
    req.count = 1;
    const uint32_t size = v6 ? sizeof(Ipam6AddrInfo) : sizeof(Ipam4AddrInfo);
    Answer a;
    std::string text;  // a page's records, printed at once
    bool posted = false;
    for (int pages = 0; pages < kMaxPages; ++pages) {
        if (!collect(pid, posted, req, a) || noHandler(pid, a)) return 1;
        // The cursor for the next page: the last record received.
        for (auto it = a.params.rbegin(); it != a.params.rend(); ++it)
            if (it->id == 0 && it->size == size) {
                std::memcpy(req.params[0].data, a.data(*it), size);
                req.params[0].length = static_cast<int32_t>(size);
                break;
            }
        // The host pages on while this page is printed.
        posted = a.result == 0 && !a.params.empty() && pages + 1 < kMaxPages && post(pid, req);
        text.clear();
        for (const Answer::Param &p : a.params) {
            if (p.id != 0 || p.size != size) continue;
            Record r;
            if (v6) {
                Ipam6AddrInfo info;
                std::memcpy(&info, a.data(p), size);
                r = Record::from6(info);
            } else {
                Ipam4AddrInfo info;
                std::memcpy(&info, a.data(p), size);
                r = Record::from4(info);
            }
            if (json) {
                std::printf("{\"pid\":%d,\"page\":%d,\"record\":%s}\n", static_cast<int>(pid),
                            pages, recordJsonText(r).c_str());
            } else {
                appendRecordText(text, r);
                text.push_back('\n');
            }
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        if (a.result == IPAM_CMF_END) return 0;
        if (a.result != 0 || a.params.empty()) {
            std::fprintf(stderr, "ipam-sim ctl: host %d answered %d to the export\n",
                         static_cast<int>(pid), a.result);
            return 1;
        }
    }
    return 1;
}

}  // namespace

int runCtl(const CtlOptions &o) {
    if (ipamwire::runDir().empty()) {
        std::fprintf(stderr, "ipam-sim ctl: set %s to the runtime directory\n",
                     ipamwire::kRunDirEnv);
        return kCtlUsage;
    }
    if (o.args.empty() || (o.args[0] == "list" && o.args.size() == 1)) return list(o.json);
    char *end = nullptr;
    const long pid = std::strtol(o.args[0].c_str(), &end, 10);
    if (end == o.args[0].c_str() || *end != '\0' || pid <= 0 || o.args.size() < 2 || o.page < 1 ||
        !(o.wait >= 0 && o.wait <= 86400)) {
        std::fprintf(stderr,
                     "ipam-sim ctl: usage: ctl list | ctl PID debug get|set|clear [NAMES] | "
                     "ctl PID export4|export6 [--page N] [--json] [--wait SECONDS]\n");
        return kCtlUsage;
    }
    const std::string &what = o.args[1];
    std::vector<std::string> rest(o.args.begin() + 2, o.args.end());
    if (what == "debug") return debug(static_cast<pid_t>(pid), rest, o.json, o.wait);
    if ((what == "export4" || what == "export6") && rest.empty())
        return exportTable(static_cast<pid_t>(pid), what == "export6", o.page, o.json, o.wait);
    std::fprintf(stderr, "ipam-sim ctl: unknown request '%s' (debug, export4, export6)\n",
                 what.c_str());
    return 2;
}

}  // namespace sim
