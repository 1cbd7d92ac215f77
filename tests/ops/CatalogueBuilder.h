#pragma once
// Small in-memory catalogues for the operations' tests, and a program directory to keep them in.

#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteListFile.h"
#include "tests/support/FtpServer.h"

#include <memory>
#include <string>

namespace opstest {

inline CFTPDir* AddDir(CFTPDir* parent, const std::string& name, int32_t isNew = 0) {
    auto dir = std::make_unique<CFTPDir>();
    dir->m_strName = name;
    dir->m_bNew = isNew;
    dir->m_pParent = parent;
    return parent->m_subDirs.AddTail(std::move(dir));
}

inline CFTPFile* AddFile(CFTPDir* parent, const std::string& name, uint64_t size = 0, int32_t isNew = 0) {
    auto file = std::make_unique<CFTPFile>();
    file->m_strName = name;
    file->m_nSize = size;
    file->m_bNew = isNew;
    file->m_pParent = parent;
    return parent->m_files.AddTail(std::move(file));
}

// A loaded site (nothing is read from disk for it) appended to `list`.
template <class List>
CFTPSite* AddSite(List& list, const std::string& host, const std::string& user = kAnonymousUser,
                  const std::string& password = kAnonymousPassword, int32_t port = 21) {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = host;
    site->m_strUser = user;
    site->m_strPassword = password;
    site->m_nPort = port;
    site->m_nLoadState = 1;
    return list.AddTail(std::move(site));
}

// A temporary program directory that is the current one for the life of the object.
class ProgramDir {
public:
    ProgramDir() : m_dir("quarnel-ops") { SetAppDir(m_dir.path()); }
    ~ProgramDir() { SetAppDir("."); }
    const std::string& path() const { return m_dir.path(); }

private:
    ftptest::TempDir m_dir;
};

} // namespace opstest
