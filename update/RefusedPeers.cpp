#include "update/RefusedPeers.h"

#include <map>
#include <mutex>

namespace {
std::mutex g_lock;
std::map<std::string, PeerIdentity>& Refused() {
    static std::map<std::string, PeerIdentity> refused;
    return refused;
}
} // namespace

void NoteRefusedPeer(const std::string& key, const PeerIdentity& presented) {
    std::lock_guard<std::mutex> lock(g_lock);
    Refused()[key] = presented;
}

std::optional<PeerIdentity> TakeRefusedPeer(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_lock);
    auto found = Refused().find(key);
    if (found == Refused().end())
        return std::nullopt;
    PeerIdentity presented = std::move(found->second);
    Refused().erase(found);
    return presented;
}
