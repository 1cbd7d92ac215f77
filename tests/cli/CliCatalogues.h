#pragma once
// The catalogues the command-line tests start from, by name: "listing", "offline", "leftovers"
// and "none" (an empty program directory). The data files describe what each one holds.

#include "model/Paths.h"
#include "model/SiteListFile.h"
#include "tests/ops/CatalogueBuilder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace clitest {

using opstest::AddDir;
using opstest::AddFile;

// Two sites: srv (anonymous) with names that need care, host@bob with a login and controls,
// its names read as UTF-8.
inline void WriteListingCatalogue() {
    CObList<CFTPSite> list;
    CFTPSite* srv = opstest::AddSite(list, "srv");
    CFTPDir* root = srv->m_pRootDir.get();
    CFTPDir* pub = AddDir(root, "pub", 1);
    AddFile(pub, "ReadMe.txt", 1536, 1);
    CFTPDir* tab = AddDir(root, "tab\there");
    AddFile(tab, "new\nline", 7);
    AddFile(tab, "say \"hi\".txt", 10, 1);
    CFTPDir* gbk = AddDir(root, "\xCE\xC4\xB5\xB5"); // 文档 in GBK
    CFTPDir* sub = AddDir(gbk, "sub");
    AddFile(sub, "deep.txt", 1);
    AddFile(gbk, "back\\slash", 3);
    AddFile(root, "top.iso", 5368709120ull);
    CFTPSite* host = opstest::AddSite(list, "host", "bob", "secret", 2121);
    AddFile(host->m_pRootDir.get(), "x y.txt", 2, 1);
    AddFile(host->m_pRootDir.get(), "esc\x1b[2J c1\xC2\x85", 4);
    ASSERT_TRUE(srv->SaveCatalogue());
    ASSERT_TRUE(srv->SaveState());
    ASSERT_TRUE(host->SaveCatalogue());
    ASSERT_TRUE(host->SaveState());
    CSiteSettings utf8; // so that the C1 control is read as one
    utf8.m_encoding = NameEncodingChoice::Utf8;
    ASSERT_TRUE(host->SetSettings(utf8));
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
}

// srv with a small tree, a GBK name among it; host@bob with none.
inline void WriteOfflineCatalogue() {
    CObList<CFTPSite> list;
    CFTPSite* srv = opstest::AddSite(list, "srv");
    CFTPDir* pub = AddDir(srv->m_pRootDir.get(), "pub", 1);
    AddFile(pub, "ReadMe.txt", 1536, 1);
    CFTPDir* docs = AddDir(srv->m_pRootDir.get(), "\xCE\xC4\xB5\xB5"); // 文档 in GBK
    AddFile(docs, "a b.pdf", 10, 1);
    AddFile(srv->m_pRootDir.get(), "top.iso", 5368709120ull);
    opstest::AddSite(list, "host", "bob", "secret", 2121);
    ASSERT_TRUE(srv->SaveCatalogue());
    ASSERT_TRUE(srv->SaveState());
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
}

// srv with a tree and settings of its own, host@bob, and what killed saves leave behind.
inline void WriteLeftoversCatalogue(const std::string& app) {
    CObList<CFTPSite> list;
    CFTPSite* srv = opstest::AddSite(list, "srv");
    CFTPDir* pub = AddDir(srv->m_pRootDir.get(), "pub", true);
    AddFile(pub, "ReadMe.txt", 1536, true);
    AddFile(srv->m_pRootDir.get(), "top.iso", 5);
    opstest::AddSite(list, "host", "bob", "secret", 2121);
    ASSERT_TRUE(srv->SaveCatalogue());
    ASSERT_TRUE(srv->SaveState());
    CSiteSettings settings;
    settings.m_encoding = NameEncodingChoice::Gbk;
    ASSERT_TRUE(srv->SetSettings(settings));
    ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
    std::ofstream(app + "/site.ds.tmp-abc123") << "killed";
    std::ofstream(app + "/Data/srv/content.ct.tmp-abc123") << "killed";
    std::filesystem::create_directories(app + "/Data/.tmp/srv.new-abc123");
    std::filesystem::remove(app + "/site.ds.lock");
    std::filesystem::remove_all(app + "/.locks");
}

// Writes the catalogue `name` into the program directory `app`, which is made when missing.
inline void WriteCatalogue(const std::string& app, const std::string& name) {
    std::filesystem::create_directory(app);
    SetAppDir(app);
    if (name == "listing")
        WriteListingCatalogue();
    else if (name == "offline")
        WriteOfflineCatalogue();
    else if (name == "leftovers")
        WriteLeftoversCatalogue(app);
    else if (name != "none")
        ADD_FAILURE() << "no catalogue " << name;
    SetAppDir(".");
}

} // namespace clitest
