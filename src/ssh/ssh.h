// SSH: the common base of the SSH protocol layers. It holds the pool of spare packets, so that the
// 35000-byte buffers are recycled rather than allocated per message.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/io.h"
#include "platform/lock.h"
#include "ssh/ssh_packet.h"

namespace tarnwick {

class SSH : public IO {
  public:
    static constexpr std::size_t kMaxSparePackets = 51;

    SSH(int type, const char* name) : IO(type, name) {}
    ~SSH() override;

    // A spare packet (reset) or a new one; nullptr only when memory runs out.
    std::unique_ptr<SSHPacket> getPacket();
    // Wipes the packet, then keeps it for reuse while fewer than kMaxSparePackets are spare, else
    // frees it.
    void releasePacket(std::unique_ptr<SSHPacket> packet);
    std::size_t SparePackets();

  private:
    // The outer lock is held for the whole get or release, the inner one while the list itself
    // is touched.
    Lock pool_outer_;
    Lock pool_inner_;
    std::vector<std::unique_ptr<SSHPacket>> spare_;
};

// Returns a pool packet to its layer when it goes out of scope.
class PooledPacket {
  public:
    explicit PooledPacket(SSH& owner) : owner_(owner), packet_(owner.getPacket()) {}
    ~PooledPacket() {
        if (packet_) owner_.releasePacket(std::move(packet_));
    }
    PooledPacket(const PooledPacket&) = delete;
    PooledPacket& operator=(const PooledPacket&) = delete;

    explicit operator bool() const { return packet_ != nullptr; }
    SSHPacket* operator->() { return packet_.get(); }
    SSHPacket& operator*() { return *packet_; }
    SSHPacket* get() { return packet_.get(); }

  private:
    SSH& owner_;
    std::unique_ptr<SSHPacket> packet_;
};

}  // namespace tarnwick
