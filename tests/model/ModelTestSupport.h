#pragma once
// Helpers of the model tests: a throw-away program directory, byte strings written as hex,
// small trees (the shared builder), whole files read and written.

#include "model/Paths.h"
#include "model/Records.h"
#include "tests/support/CatalogueBuilder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

namespace model_test {

// A fresh program directory for one test, made the current one and removed afterwards.
class TempAppDir {
public:
    TempAppDir() {
        char pattern[] = "/tmp/quarnel-model-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
        SetAppDir(m_path);
    }
    ~TempAppDir() {
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// "01 00 FF" -> the three bytes.
inline std::string Hex(const std::string& text) {
    std::string bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token)
        bytes.push_back(static_cast<char>(std::stoul(token, nullptr, 16)));
    return bytes;
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using testtree::AddDir;
using testtree::AddFile;

// A site with a user and password, so its key is "host@user".
inline std::unique_ptr<CFTPSite> MakeSite(const std::string& host, const std::string& user = "u",
                                          const std::string& password = "secret") {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = host;
    site->m_strUser = user;
    site->m_strPassword = password;
    return site;
}

inline std::string SiteFile(const CFTPSite& site, const char* name) {
    return SiteDataDirPath(site.GetKey()) + "/" + name;
}

} // namespace model_test
