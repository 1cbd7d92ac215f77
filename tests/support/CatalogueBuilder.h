#pragma once
// Small catalogues built in memory, for the tests of every layer. Trees are linked the way
// production links them: children through CFTPDir::AddSubDir/AddFile, m_pSite on the root only.

#include "model/ObList.h"
#include "model/Records.h"

#include <cstdint>
#include <memory>
#include <string>

namespace testtree {

inline CFTPDir* AddDir(CFTPDir* parent, const std::string& name, bool isNew = false) {
    auto dir = std::make_unique<CFTPDir>();
    dir->m_strName = name;
    dir->m_bNew = isNew ? 1 : 0;
    return parent->AddSubDir(std::move(dir));
}

inline CFTPFile* AddFile(CFTPDir* parent, const std::string& name, uint64_t size = 0, bool isNew = false) {
    auto file = std::make_unique<CFTPFile>();
    file->m_strName = name;
    file->m_nSize = size;
    file->m_bNew = isNew ? 1 : 0;
    return parent->AddFile(std::move(file));
}

// A site appended to `list`, anonymous unless a login is given, with its tree counting as read
// (nothing is read from disk for it), like a site just added.
inline CFTPSite* AddSite(CObList<CFTPSite>& list, const std::string& host,
                         const std::string& user = kAnonymousUser,
                         const std::string& password = kAnonymousPassword, int32_t port = 21) {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = host;
    site->m_strUser = user;
    site->m_strPassword = password;
    site->m_nPort = port;
    site->m_nLoadState = TreeLoadState::Loaded;
    return list.AddTail(std::move(site));
}

} // namespace testtree
