#pragma once
// Shared pieces of the engine tests: an events sink that records what the engine reports, a
// fixture that gives every test a fresh program directory and a quiet engine, and tree look-ups.

#include "model/Paths.h"
#include "model/Records.h"
#include "tests/support/CatalogueBuilder.h"
#include "tests/support/FtpServer.h"
#include "tests/update/FakeFtp.h"
#include "update/UpdateEvents.h"
#include "update/UpdateScheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

struct StatusNote {
    CFTPSite* site;
    std::string text;
    UpdateStatus code;
    bool sync;
};

struct RemovedNote {
    CFTPSite* site;
    const CObject* id;
    EntryKind kind;
    std::string name;
};

class RecordingEvents : public IUpdateEvents {
public:
    void PostSiteStatus(CFTPSite* site) override { Note(site, false); }
    void SendSiteStatus(CFTPSite* site) override { Note(site, true); }
    void PostEntryRemoved(CFTPSite* site, std::unique_ptr<CObject> entry, EntryKind kind) override {
        std::string name;
        if (entry->GetClassRecord() == &CFTPFile::classCFTPFile)
            name = static_cast<CFTPFile*>(entry.get())->m_strName;
        else if (entry->GetClassRecord() == &CFTPDir::classCFTPDir)
            name = static_cast<CFTPDir*>(entry.get())->m_strName;
        std::lock_guard<std::mutex> lock(m_lock);
        m_removed.push_back({site, entry.get(), kind, name});
        m_kept.push_back(std::move(entry)); // identities stay unique until the test ends
    }

    std::vector<StatusNote> Statuses() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_statuses;
    }
    std::vector<StatusNote> StatusesOf(const CFTPSite* site) const {
        std::vector<StatusNote> out;
        for (auto& note : Statuses())
            if (note.site == site)
                out.push_back(note);
        return out;
    }
    std::vector<RemovedNote> Removed() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_removed;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_statuses.clear();
        m_removed.clear();
    }

private:
    void Note(CFTPSite* site, bool sync) {
        StatusNote note{site, site->GetStatusText(), site->m_nUpdateStatus.load(), sync};
        std::lock_guard<std::mutex> lock(m_lock);
        m_statuses.push_back(std::move(note));
    }

    mutable std::mutex m_lock;
    std::vector<StatusNote> m_statuses;
    std::vector<RemovedNote> m_removed;
    std::vector<std::unique_ptr<CObject>> m_kept;
};

// Waits, within `timeout`, until `done` holds.
template <class Pred> bool WaitFor(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// content.ct and state.st of a root holding one directory pub with one file a of 5 bytes, both new.
inline const std::string kPubTreeContent("\x00\x01\x00\xFF\xFF\x01\x00\x07\x00"
                                         "CFTPDir"
                                         "\x03pub\x00\x00\x01\x00\xFF\xFF\x01\x00\x08\x00"
                                         "CFTPFile"
                                         "\x05\x00\x00\x00\x00\x00\x00\x00\x01"
                                         "a\x00\x00",
                                         50);
inline const std::string kPubTreeStateAllNew("\x01\x00\x00\x00\x01\x00\x00\x00", 8);

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline CFTPDir* FindDir(CFTPSite* site, const std::string& path) {
    CFTPDir* dir = site->m_pRootDir.get();
    std::size_t pos = 1;
    while (dir && pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        dir = dir->FindSubDir(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return dir;
}

inline CFTPFile* FindFile(CFTPSite* site, const std::string& path) {
    auto slash = path.rfind('/');
    CFTPDir* dir = FindDir(site, slash == 0 ? "/" : path.substr(0, slash));
    return dir ? dir->FindFile(path.substr(slash + 1)) : nullptr;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_appDir = std::make_unique<ftptest::TempDir>("quarnel-engine");
        SetAppDir(m_appDir->path());
        ResetUpdateEngine();
        SetUpdateEvents(&m_events);
        m_fake = std::make_shared<FakeFtpServer>();
        m_fake->Put("/");
        std::weak_ptr<FakeFtpServer> weak = m_fake;
        SetFtpConnectionFactory([weak](const std::atomic<bool>*) -> std::unique_ptr<IServerConnection> {
            auto server = weak.lock();
            return server ? server->Connect() : nullptr;
        });
    }

    void TearDown() override {
        StopUpdates();
        EXPECT_TRUE(WaitFor([] { return IsUpdateEngineIdle(); })) << "engine did not go idle";
        SetUpdateEvents(nullptr);
        SetFtpConnectionFactory(nullptr);
        ResetUpdateEngine();
    }

    // An anonymous site on the fake server (or on 127.0.0.1:port), appended to m_sites.
    CFTPSite* AddSite(const std::string& host = "fake.example", int port = 21) {
        return testtree::AddSite(m_sites, host, kAnonymousUser, kAnonymousPassword, port);
    }

    // Runs an update of `dir`'s site (the whole site for a root) to its end, re-queues included.
    bool UpdateAndWait(CFTPDir* dir) {
        int total = 0;
        if (!UpdateSelectedDir(dir, m_sites, total))
            return false;
        return WaitUntilFinished();
    }
    bool UpdateAndWait(CFTPSite* site) { return UpdateAndWait(site->m_pRootDir.get()); }

    // Nothing queued and nothing running; then the dispatcher is stopped too.
    static bool WaitUntilFinished() {
        bool finished = WaitFor([] { return !IsUpdateWorkPending(); });
        StopUpdates();
        return WaitFor([] { return IsUpdateEngineIdle(); }) && finished;
    }

    std::string SiteFile(CFTPSite* site, const char* name) const {
        return SiteDataDirPath(site->GetKey()) + "/" + name;
    }

    std::unique_ptr<ftptest::TempDir> m_appDir;
    RecordingEvents m_events;
    std::shared_ptr<FakeFtpServer> m_fake;
    CObList<CFTPSite> m_sites;
};

} // namespace enginetest
