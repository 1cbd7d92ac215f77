#pragma once
// The operations' tests: small in-memory catalogues (the shared builder) and a program directory
// to keep them in.

#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteListFile.h"
#include "tests/support/CatalogueBuilder.h"
#include "tests/support/FtpServer.h"

#include <memory>
#include <string>

namespace opstest {

using testtree::AddDir;
using testtree::AddFile;
using testtree::AddSite;

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
