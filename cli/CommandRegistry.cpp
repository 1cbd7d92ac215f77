#include "cli/Command.h"

#include <map>

namespace {

// Built on first use, so that registrars in any file may run first.
std::map<std::string, CliCommandInfo>& Table() {
    static std::map<std::string, CliCommandInfo> table;
    return table;
}

} // namespace

void CommandRegistry::Register(CliCommandInfo info) {
    std::string name = info.name;
    Table().emplace(std::move(name), std::move(info));
}

const CliCommandInfo* CommandRegistry::Find(const std::string& name) {
    auto it = Table().find(name);
    return it == Table().end() ? nullptr : &it->second;
}

std::vector<const CliCommandInfo*> CommandRegistry::All() {
    std::vector<const CliCommandInfo*> all;
    for (const auto& [name, info] : Table())
        all.push_back(&info);
    return all;
}
