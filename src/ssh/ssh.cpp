#include "ssh/ssh.h"

#include <new>

namespace tarnwick {

SSH::~SSH() {
    LockHolder outer(pool_outer_);
    LockHolder inner(pool_inner_);
    spare_.clear();
}

std::unique_ptr<SSHPacket> SSH::getPacket() {
    LockHolder outer(pool_outer_);
    {
        LockHolder inner(pool_inner_);
        if (!spare_.empty()) {
            std::unique_ptr<SSHPacket> packet = std::move(spare_.front());
            spare_.erase(spare_.begin());
            packet->reset();
            return packet;
        }
    }
    std::unique_ptr<SSHPacket> packet(new (std::nothrow) SSHPacket());
    if (packet && packet->capacity() < SSHPacket::kCapacity) packet.reset();
    return packet;
}

void SSH::releasePacket(std::unique_ptr<SSHPacket> packet) {
    if (!packet) return;
    // A spare packet must not carry what it held (a password, decrypted data) to its next user.
    packet->Wipe();
    LockHolder outer(pool_outer_);
    LockHolder inner(pool_inner_);
    if (spare_.size() < kMaxSparePackets) {
        // Reserve first so that the push itself cannot fail and lose track of the packet.
        if (spare_.capacity() < kMaxSparePackets) spare_.reserve(kMaxSparePackets);
        spare_.push_back(std::move(packet));
    }
}

std::size_t SSH::SparePackets() {
    LockHolder inner(pool_inner_);
    return spare_.size();
}

}  // namespace tarnwick
