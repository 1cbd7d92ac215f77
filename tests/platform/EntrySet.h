#pragma once
// A listing as a set of (name, directory?, size), for comparing listings whatever their order.

#include "platform/FtpClient.h"

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace platformtest {

using EntrySet = std::set<std::tuple<std::string, bool, uint64_t>>;

inline EntrySet Set(const std::vector<FtpEntry>& entries) {
    EntrySet set;
    for (const auto& e : entries)
        set.emplace(e.name, e.isDir, e.size);
    return set;
}

} // namespace platformtest
