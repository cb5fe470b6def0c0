/* Socket plumbing of the cross-process platform; see link.h. */
#include "link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/nlog.h"

namespace ipamwire {

namespace {

bool fillAddr(const std::string &path, sockaddr_un &addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

std::string runDir() {
    const char *dir = getenv(kRunDirEnv);
    return dir != nullptr ? std::string(dir) : std::string();
}

namespace {

bool refuse(std::string *why, int err, const std::string &reason) {
    if (why != nullptr) *why = reason;
    errno = err;
    return false;
}

/* mkdir -p with mode 0700 for every directory it creates. */
bool makeDirs(const std::string &dir, std::string *why) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return refuse(why, errno, "cannot create " + part + ": " + strerror(errno));
    }
    return true;
}

}  // namespace

/* The longest socket name the platform puts in the directory, with its
 * slash: "/tipc-7fff00c6-7ffc0001.sock"; "/cmf-PID.sock" is shorter. */
constexpr size_t kLongestSocketName = 28;

bool ensureRunDir(const std::string &dir, std::string *why) {
    if (dir.empty() || dir.size() + kLongestSocketName >= sizeof(sockaddr_un::sun_path))
        return refuse(why, ENAMETOOLONG,
                      "the path must be 1 to " +
                          std::to_string(sizeof(sockaddr_un::sun_path) - 1 - kLongestSocketName) +
                          " bytes long to hold socket names");
    if (!makeDirs(dir, why)) return false;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return refuse(why, errno, strerror(errno));
    if (!S_ISDIR(st.st_mode)) return refuse(why, ENOTDIR, "not a directory");
    if (st.st_uid != geteuid())
        return refuse(why, EPERM,
                      "owned by uid " + std::to_string(st.st_uid) + ", not by this user");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse(why, EPERM, "writable by group or others (chmod go-w)");
    return true;
}

std::string tipcPath(const std::string &dir, uint32_t nameType, uint32_t instance) {
    char name[48];
    snprintf(name, sizeof name, "/tipc-%08x-%08x.sock", static_cast<unsigned>(nameType),
             static_cast<unsigned>(instance));
    return dir + name;
}

std::string tipcPath(const std::string &dir, const void *sockaddrTipc16) {
    uint32_t type = 0, instance = 0;
    if (sockaddrTipc16 != nullptr) {
        memcpy(&type, static_cast<const uint8_t *>(sockaddrTipc16) + 4, 4);
        memcpy(&instance, static_cast<const uint8_t *>(sockaddrTipc16) + 8, 4);
    }
    return tipcPath(dir, type, instance);
}

std::string cmfPath(const std::string &dir, pid_t pid) {
    return dir + "/cmf-" + std::to_string(pid) + ".sock";
}

namespace {

/* Removes a socket file at `path` that nobody listens on any more; leaves
 * alone a live socket (EADDRINUSE) and anything else (EEXIST). True when
 * the path is free. */
bool clearStale(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    const int probe = connectTo(path);
    if (probe >= 0) {
        close(probe);
        errno = EADDRINUSE;
        return false;
    }
    /* A full backlog (EAGAIN) is a live listener too. */
    if (errno != ECONNREFUSED && errno != ENOENT) {
        errno = EADDRINUSE;
        return false;
    }
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

int listenAt(const std::string &path, FileId *id) {
    sockaddr_un addr;
    if (!fillAddr(path, addr)) return -1;
    if (!clearStale(path)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct stat st;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        lstat(path.c_str(), &st) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (id != nullptr) *id = FileId{st.st_dev, st.st_ino};
    return fd;
}

void unlinkOwn(const std::string &path, const FileId &id) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino)
        unlink(path.c_str());
}

int connectTo(const std::string &path) {
    sockaddr_un addr;
    if (!fillAddr(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    /* Unix-domain connects complete at once or fail; EAGAIN is a full
     * backlog, which we treat as nobody there rather than wait. */
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    /* Blocking from here on; callers bound their waits with poll or timeouts. */
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool acceptOutOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool peerAllowed(int fd, uid_t *uid) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    if (uid != nullptr) *uid = cred.uid;
    return cred.uid == geteuid() || cred.uid == 0;
}

void setTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendFrame(int fd, Type type, uint32_t word, const void *payload, uint32_t length) {
    uint8_t buf[kMaxFrame];
    const uint32_t n = encode(type, word, payload, length, buf);
    if (n == 0) return false;
    ssize_t sent;
    do sent = send(fd, buf, n, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(n);
}

int waitReadable(int fd, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int r = poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (wakeFd >= 0 && fds[1].revents != 0) return -1;
        return 1;
    }
}

Recv recvPacket(int fd, uint8_t *buf, size_t cap, size_t *size, bool wait) {
    ssize_t n;
    do n = recv(fd, buf, cap + 1, wait ? 0 : MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return Recv::Empty;
    if (n == 0) return Recv::Closed;
    if (n < 0) return Recv::Error;
    *size = static_cast<size_t>(n);
    return *size > cap ? Recv::Bad : Recv::Frame;
}

Recv recvFrame(int fd, uint8_t *buf, Frame &f, const char **why, bool wait) {
    size_t n = 0;
    const Recv r = recvPacket(fd, buf, kMaxFrame, &n, wait);
    if (r == Recv::Bad) *why = "oversized frame";
    if (r != Recv::Frame) return r;
    return decode(buf, n, f, why) ? Recv::Frame : Recv::Bad;
}

Recv PacketReader::next(int fd, Frame &f, const char **why, bool wait) {
    if (off_ >= size_) {
        off_ = size_ = 0;
        size_t n = 0;
        const Recv r = recvPacket(fd, buf_, kMaxPacket, &n, wait);
        if (r == Recv::Bad) *why = "oversized packet";
        if (r != Recv::Frame) return r;
        size_ = n;
    }
    if (!decodeAt(buf_, size_, &off_, f, why)) {
        off_ = size_ = 0;
        return Recv::Bad;
    }
    return Recv::Frame;
}

bool PacketWriter::add(Type type, uint32_t word, const void *payload, uint32_t length) {
    if (size_ + kHeader + length > kMaxPacket && !flush()) return false;
    const uint32_t n = encode(type, word, payload, length, buf_ + size_);
    size_ += n;
    return n > 0;
}

bool PacketWriter::flush() {
    if (size_ == 0) return true;
    ssize_t sent;
    do sent = send(fd_, buf_, size_, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    const bool ok = sent == static_cast<ssize_t>(size_);
    size_ = 0;
    return ok;
}

void logError(const char *format, ...) {
    char text[400];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    NLOG_Send(0, "IPAMPLAT", 3, 1, "(PID:%d)%s", static_cast<int>(getpid()), text);
}

}  // namespace ipamwire
