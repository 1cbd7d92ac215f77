#pragma once
// An in-memory FTP server for the engine tests: a tree of listings by absolute path, faults by
// path, a log of what the clients asked, and a count of open connections.

#include "platform/FtpClient.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace enginetest {

enum class Fault {
    RefuseCwd,    // CWD answered with an error
    LoseCwd,      // connection lost at CWD
    RefuseList,   // listing refused
    BusyList,     // listing refused for now (450)
    LoseList,     // connection lost at the listing
    RefuseLogin,  // login refused (the path is ignored)
    TruncateList, // the listing holds only its first entries and the server says it cut it short
    FailData,     // the listing's data connection fails (425), the control connection lives
    TooLarge,     // the client gives the listing up for its size and logs in again
    TooLargeLost, // ... and that new login fails: the next call finds the connection lost
    TooSlow,      // the client gives the listing up at its deadline and logs in again
};

class FakeFtpServer : public std::enable_shared_from_this<FakeFtpServer> {
public:
    // "/a/b/" adds a directory (and its parents); "/a/b/f.txt" a file of `size` bytes.
    void Put(const std::string& path, uint64_t size = 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        PutLocked(path, size);
    }
    void Remove(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string clean = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
        auto [parent, name] = Split(clean);
        auto& entries = m_dirs[parent];
        std::erase_if(entries, [&](const FtpEntry& e) { return e.name == name; });
        // drop the subtree's listings
        for (auto it = m_dirs.begin(); it != m_dirs.end();)
            it = (it->first == clean || it->first.rfind(clean + "/", 0) == 0) ? m_dirs.erase(it)
                                                                              : std::next(it);
    }
    // Adds a raw entry to a listing as is (duplicates, odd names).
    void AddRaw(const std::string& dir, FtpEntry entry) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (entry.isDir)
            m_dirs.try_emplace(Join(dir, entry.name));
        m_dirs[dir].push_back(std::move(entry));
    }
    // `times` 0: always; else only the first `times` matches.
    void SetFault(const std::string& path, Fault fault, int times = 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_faults[path] = {fault, times};
    }
    // The listing of `path` holds only its first `keep` entries, as pure-ftpd's does past its limit.
    void SetTruncated(const std::string& path, size_t keep, int times = 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_faults[path] = {Fault::TruncateList, times, keep};
    }
    // A link listed as a directory: `path` shows what the directory `target` holds ("/a/loop"
    // to "/a" is `loop -> .` in /a).
    void Link(const std::string& path, const std::string& target) {
        std::lock_guard<std::mutex> lock(m_lock);
        auto [parent, name] = Split(path);
        m_dirs[parent].push_back(FtpEntry{name, true, 0});
        m_links[path] = target;
    }
    // Identity as MLSD's unique fact: on every entry, and on the cdir line of each listing.
    void SetIdentity(bool entries, bool cdir) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_idsOnEntries = entries;
        m_idOnCdir = cdir;
    }
    void ClearFaults() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_faults.clear();
    }
    // FEAT lists UTF8; OPTS UTF8 ON is then answered 200.
    std::atomic<bool> m_offersUtf8{false};
    // Called (outside the lock) at each listing, with the path; may sleep or set flags.
    void OnList(std::function<void(const std::string&)> hook) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_onList = std::move(hook);
    }
    std::vector<std::string> Log() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_log;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_log.clear();
    }
    int MaxConnections() const { return m_maxOpen.load(); }
    int OpenConnections() const { return m_open.load(); }
    int Logins() const { return m_logins.load(); }

    std::unique_ptr<IServerConnection> Connect();

    // --- used by the connections
    bool TakeFault(const std::string& path, Fault fault, size_t* keep = nullptr) {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_faults.find(path);
        if (it == m_faults.end() || it->second.fault != fault)
            return false;
        if (keep)
            *keep = it->second.keep;
        if (it->second.times > 0 && --it->second.times == 0)
            m_faults.erase(it);
        return true;
    }
    void Record(std::string line) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_log.push_back(std::move(line));
    }
    bool Exists(const std::string& path) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_dirs.count(ResolveLocked(path)) > 0;
    }
    FtpDirListing Listing(const std::string& path) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            hook = m_onList;
        }
        if (hook)
            hook(path);
        std::lock_guard<std::mutex> lock(m_lock);
        const std::string real = ResolveLocked(path);
        FtpDirListing listing;
        listing.entries = m_dirs[real];
        if (m_idsOnEntries)
            for (FtpEntry& entry : listing.entries)
                entry.id = "#" + ResolveLocked(Join(real, entry.name));
        if (m_idOnCdir)
            listing.dirId = "#" + real;
        listing.endReply = "226 Transfer complete";
        return listing;
    }

    std::atomic<int> m_open{0};
    std::atomic<int> m_maxOpen{0};
    std::atomic<int> m_logins{0};

private:
    static std::string Join(const std::string& dir, const std::string& name) {
        return dir == "/" ? "/" + name : dir + "/" + name;
    }
    static std::pair<std::string, std::string> Split(const std::string& path) {
        auto slash = path.rfind('/');
        return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
    }
    // The directory a path names once the links on its way are followed.
    std::string ResolveLocked(const std::string& path) const {
        std::string resolved = "/";
        size_t pos = 1;
        while (pos <= path.size()) {
            size_t end = path.find('/', pos);
            if (end == std::string::npos)
                end = path.size();
            if (end > pos) {
                resolved = Join(resolved, path.substr(pos, end - pos));
                auto link = m_links.find(resolved);
                if (link != m_links.end())
                    resolved = link->second;
            }
            pos = end + 1;
        }
        return resolved;
    }
    void PutLocked(const std::string& path, uint64_t size) {
        m_dirs.try_emplace("/");
        bool isDir = path.back() == '/';
        std::string clean = isDir ? path.substr(0, path.size() - 1) : path;
        if (clean.empty())
            return;
        auto [parent, name] = Split(clean);
        if (!m_dirs.count(parent))
            PutLocked(parent + "/", 0);
        auto& entries = m_dirs[parent];
        for (auto& e : entries) {
            if (e.name == name && e.isDir == isDir) {
                e.size = size;
                return;
            }
        }
        entries.push_back(FtpEntry{name, isDir, isDir ? 0 : size});
        if (isDir)
            m_dirs.try_emplace(clean);
    }

    struct FaultState {
        Fault fault;
        int times;
        size_t keep = 0;
    };
    mutable std::mutex m_lock;
    std::map<std::string, std::vector<FtpEntry>> m_dirs;
    std::map<std::string, std::string> m_links; // link path -> the directory it shows
    bool m_idsOnEntries = false;
    bool m_idOnCdir = false;
    std::map<std::string, FaultState> m_faults;
    std::vector<std::string> m_log;
    std::function<void(const std::string&)> m_onList;
};

class FakeFtpConnection : public IServerConnection {
public:
    explicit FakeFtpConnection(std::shared_ptr<FakeFtpServer> server) : m_server(std::move(server)) {}
    ~FakeFtpConnection() override { Close(); }

    FtpResult Connect(const std::string& host, int32_t, const std::string& user,
                      const std::string&) override {
        m_server->Record("USER " + user + "@" + host);
        if (m_server->TakeFault("", Fault::RefuseLogin)) {
            m_reply = "530 Login incorrect.";
            return {FtpStatus::Refused, 67, "Login denied"};
        }
        int now = ++m_server->m_open;
        int seen = m_server->m_maxOpen.load();
        while (now > seen && !m_server->m_maxOpen.compare_exchange_weak(seen, now)) {
        }
        ++m_server->m_logins;
        m_bOpen = true;
        return {};
    }
    bool OffersUtf8() const override { return m_server->m_offersUtf8.load(); }
    FtpResult EnableUtf8() override {
        m_server->Record("OPTS UTF8 ON");
        if (!m_server->m_offersUtf8.load())
            return {FtpStatus::Refused, 0, "not offered", 502, 0};
        return {};
    }
    FtpResult ChangeDir(const std::string& path) override {
        if (m_bLost)
            return Lost();
        m_server->Record("CWD " + path);
        if (m_server->TakeFault(path, Fault::LoseCwd)) {
            m_bLost = true;
            return Lost();
        }
        if (m_server->TakeFault(path, Fault::RefuseCwd) || !m_server->Exists(path)) {
            m_reply = "550 No such directory.";
            return {FtpStatus::Refused, 9, "Access denied to remote resource"};
        }
        m_cwd = path;
        return {};
    }
    using IServerConnection::List;
    FtpResult List(FtpDirListing& listing) override {
        listing = FtpDirListing();
        if (m_bLost)
            return Lost();
        m_server->Record("LIST " + m_cwd);
        if (m_server->TakeFault(m_cwd, Fault::LoseList)) {
            m_bLost = true;
            return Lost();
        }
        if (m_server->TakeFault(m_cwd, Fault::RefuseList)) {
            m_reply = "550 Not allowed.";
            return {FtpStatus::Refused, 19, "FTP: couldn't retrieve (RETR failed) the specified file"};
        }
        if (m_server->TakeFault(m_cwd, Fault::BusyList)) {
            m_reply = "450 Directory busy.";
            return {FtpStatus::Refused, 19, m_reply, 450};
        }
        if (m_server->TakeFault(m_cwd, Fault::FailData)) {
            m_reply = "425 Can't open data connection.";
            return {FtpStatus::DataFailed, 19, m_reply, 425};
        }
        if (m_server->TakeFault(m_cwd, Fault::TooLarge))
            return {FtpStatus::TooLarge, 23, "The directory listing is larger than 67108864 bytes"};
        if (m_server->TakeFault(m_cwd, Fault::TooLargeLost)) {
            m_bLost = true;
            return {FtpStatus::TooLarge, 23, "The directory listing is larger than 67108864 bytes"};
        }
        if (m_server->TakeFault(m_cwd, Fault::TooSlow))
            return {FtpStatus::TooSlow, 42, "The directory listing took longer than 600 seconds"};
        listing = m_server->Listing(m_cwd);
        size_t keep = 0;
        if (m_server->TakeFault(m_cwd, Fault::TruncateList, &keep) && keep < listing.entries.size()) {
            listing.entries.resize(keep);
            listing.truncated = true;
            listing.endReply = "226 Output truncated to " + std::to_string(keep) + " matches";
        }
        m_reply = listing.endReply;
        return {};
    }
    std::string LastReply() const override { return m_reply; }
    void Close() override {
        if (m_bOpen) {
            m_bOpen = false;
            --m_server->m_open;
        }
    }

private:
    FtpResult Lost() { return {FtpStatus::Lost, 56, "Failure when receiving data from the peer"}; }

    std::shared_ptr<FakeFtpServer> m_server;
    std::string m_cwd = "/";
    std::string m_reply;
    bool m_bLost = false;
    bool m_bOpen = false;
};

inline std::unique_ptr<IServerConnection> FakeFtpServer::Connect() {
    return std::make_unique<FakeFtpConnection>(shared_from_this());
}

} // namespace enginetest
