// What `ipam-sim serve` has still to send one subscriber: encoded frames,
// packed into packets of up to ipamwire::kMaxPacket bytes, side by side in
// 64 KiB chunks (no allocation per frame), sent many packets per system
// call. Counts what was ever queued and sent, so that
// the queue bound can leave the pending first batch out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

class FrameQueue {
public:
    // Appends one encoded frame, to the last packet when it fits.
    void push(const uint8_t *frame, uint32_t size);
    // Sends what the socket takes without blocking; false when the peer is
    // gone or the socket failed.
    bool flush(int fd);
    bool empty() const { return packets_.empty(); }
    uint64_t frames() const { return pushedFrames - sentFrames; }

    // Totals since the queue was made: frames and bytes pushed, and sent.
    uint64_t pushedFrames = 0, pushedBytes = 0, sentFrames = 0, sentBytes = 0;

private:
    static constexpr size_t kChunk = 64 * 1024;
    std::deque<std::vector<uint8_t>> chunks_;
    struct Packet {
        uint32_t size, frames;
    };
    std::deque<Packet> packets_;
    size_t head_ = 0;  // offset of the first unsent packet in chunks_.front()
};

}  // namespace sim
