#include "frame_queue.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "wire.h"

namespace sim {

void FrameQueue::push(const uint8_t *frame, uint32_t size) {
    const bool room = !chunks_.empty() && chunks_.back().size() + size <= kChunk;
    if (!room) {
        chunks_.emplace_back();
        chunks_.back().reserve(kChunk);
    }
    if (!room || packets_.empty() || packets_.back().size + size > ipamwire::kMaxPacket)
        packets_.push_back({0, 0});
    std::vector<uint8_t> &c = chunks_.back();
    c.insert(c.end(), frame, frame + size);
    packets_.back().size += size;
    ++packets_.back().frames;
    ++pushedFrames;
    pushedBytes += size;
}

bool FrameQueue::flush(int fd) {
    constexpr size_t kBatch = 64;  // packets per system call
    while (!packets_.empty()) {
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        size_t n = 0, chunk = 0, off = head_;
        for (size_t i = 0; i < packets_.size() && n < kBatch; ++i, ++n) {
            if (off + packets_[i].size > chunks_[chunk].size()) {
                ++chunk;
                off = 0;
            }
            iov[n] = {chunks_[chunk].data() + off, packets_[i].size};
            std::memset(&msgs[n], 0, sizeof msgs[n]);
            msgs[n].msg_hdr.msg_iov = &iov[n];
            msgs[n].msg_hdr.msg_iovlen = 1;
            off += packets_[i].size;
        }
        int sent;
        do sent = sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        for (int i = 0; i < sent; ++i) {
            const Packet p = packets_.front();
            packets_.pop_front();
            head_ += p.size;
            sentFrames += p.frames;
            sentBytes += p.size;
            // The front chunk is used up when the next packet starts the next one.
            if (packets_.empty() || head_ + packets_.front().size > chunks_.front().size()) {
                if (packets_.empty() && chunks_.size() == 1)
                    chunks_.front().clear();
                else
                    chunks_.pop_front();
                head_ = 0;
            }
        }
        if (static_cast<size_t>(sent) < n) return true;
    }
    return true;
}

}  // namespace sim
