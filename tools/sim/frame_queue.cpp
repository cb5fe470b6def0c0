#include "frame_queue.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace sim {

void FrameQueue::push(const uint8_t *frame, uint32_t size) {
    if (chunks_.empty() || chunks_.back().size() + size > kChunk) {
        chunks_.emplace_back();
        chunks_.back().reserve(kChunk);
    }
    std::vector<uint8_t> &c = chunks_.back();
    c.insert(c.end(), frame, frame + size);
    sizes_.push_back(static_cast<uint16_t>(size));
    ++pushedFrames;
    pushedBytes += size;
}

bool FrameQueue::flush(int fd) {
    constexpr size_t kBatch = 256;  // packets per system call
    while (!sizes_.empty()) {
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        size_t n = 0, chunk = 0, off = head_;
        for (size_t i = 0; i < sizes_.size() && n < kBatch; ++i, ++n) {
            if (off + sizes_[i] > chunks_[chunk].size()) {
                ++chunk;
                off = 0;
            }
            iov[n] = {chunks_[chunk].data() + off, sizes_[i]};
            std::memset(&msgs[n], 0, sizeof msgs[n]);
            msgs[n].msg_hdr.msg_iov = &iov[n];
            msgs[n].msg_hdr.msg_iovlen = 1;
            off += sizes_[i];
        }
        int sent;
        do sent = sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        for (int i = 0; i < sent; ++i) {
            const uint16_t size = sizes_.front();
            sizes_.pop_front();
            head_ += size;
            ++sentFrames;
            sentBytes += size;
            if (sizes_.empty() || head_ + sizes_.front() > chunks_.front().size()) {
                // The front chunk is used up (the next frame starts the next one).
                if (sizes_.empty() && chunks_.size() == 1) {
                    chunks_.front().clear();
                } else {
                    chunks_.pop_front();
                }
                head_ = 0;
            }
        }
        if (static_cast<size_t>(sent) < n) return true;
    }
    return true;
}

}  // namespace sim
