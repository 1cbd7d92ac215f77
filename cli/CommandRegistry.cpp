#include "cli/Command.h"

#include <map>

namespace {

// Built on first use, so that registrars in any file may run first.
std::map<std::string, CommandInfo>& Table() {
    static std::map<std::string, CommandInfo> table;
    return table;
}

} // namespace

void CommandRegistry::Register(CommandInfo info) {
    std::string name = info.name;
    Table().emplace(std::move(name), std::move(info));
}

const CommandInfo* CommandRegistry::Find(const std::string& name) {
    auto it = Table().find(name);
    return it == Table().end() ? nullptr : &it->second;
}

std::vector<const CommandInfo*> CommandRegistry::All() {
    std::vector<const CommandInfo*> all;
    for (const auto& [name, info] : Table())
        all.push_back(&info);
    return all;
}
