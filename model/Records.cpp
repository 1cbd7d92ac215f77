#include "model/Records.h"

#include "model/TreeWalk.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

CObject* CreateSite() {
    return new CFTPSite;
}
CObject* CreateDir() {
    return new CFTPDir;
}
CObject* CreateFile() {
    return new CFTPFile;
}

CFTPDir* RootOf(CFTPDir* dir) {
    while (dir && dir->m_pParent)
        dir = dir->m_pParent;
    return dir;
}

} // namespace

const CClassRecord CFTPSite::classCFTPSite = {"CFTPSite", 1, &CreateSite};
const CClassRecord CFTPDir::classCFTPDir = {"CFTPDir", 1, &CreateDir};
const CClassRecord CFTPFile::classCFTPFile = {"CFTPFile", 1, &CreateFile};

const CClassRecord* FindClassRecord(const char* name, std::size_t length) {
    static const CClassRecord* const kRecords[] = {&CFTPSite::classCFTPSite, &CFTPDir::classCFTPDir,
                                                   &CFTPFile::classCFTPFile};
    for (const CClassRecord* record : kRecords) {
        if (std::strlen(record->m_lpszClassName) == length &&
            std::memcmp(record->m_lpszClassName, name, length) == 0)
            return record;
    }
    return nullptr;
}

// ---- CFTPFile

CFTPSite* CFTPFile::GetSite() const {
    CFTPDir* root = RootOf(m_pParent);
    return root ? root->m_pSite : nullptr;
}

// ---- CFTPDir

CFTPDir::~CFTPDir() {
    m_files.RemoveAll();
    // Take the subtree apart with an explicit work list instead of letting each directory destroy
    // its children from its own destructor: a deep tree would otherwise recurse once per level.
    std::vector<std::unique_ptr<CFTPDir>> pending = m_subDirs.ExtractIf([](CFTPDir*) { return true; });
    while (!pending.empty()) {
        std::unique_ptr<CFTPDir> dir = std::move(pending.back());
        pending.pop_back();
        dir->m_files.RemoveAll();
        if (!dir->m_subDirs.IsEmpty()) {
            auto children = dir->m_subDirs.ExtractIf([](CFTPDir*) { return true; });
            // Reversed so that the work list hands them out head to tail.
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                pending.push_back(std::move(*it));
        }
    }
}

CFTPSite* CFTPDir::GetSite() const {
    const CFTPDir* root = this;
    while (root->m_pParent)
        root = root->m_pParent;
    return root->m_pSite;
}

std::string CFTPDir::GetPath() const {
    if (!m_pParent)
        return m_strName.empty() ? std::string("/") : m_strName;
    std::vector<const CFTPDir*> chain;
    std::size_t length = 0;
    for (const CFTPDir* dir = this; dir; dir = dir->m_pParent) {
        chain.push_back(dir);
        length += dir->m_strName.size() + 1;
    }
    std::string path;
    path.reserve(length);
    // chain.back() is the root: its name, then "/" and each name down to this directory.
    path += chain.back()->m_strName;
    for (std::size_t i = chain.size() - 1; i-- > 0;) {
        path += '/';
        path += chain[i]->m_strName;
    }
    return path;
}

CFTPDir* CFTPDir::FindSubDir(const std::string& name) const {
    for (CFTPDir* dir : m_subDirs)
        if (dir->m_strName == name)
            return dir;
    return nullptr;
}

CFTPFile* CFTPDir::FindFile(const std::string& name) const {
    for (CFTPFile* file : m_files)
        if (file->m_strName == name)
            return file;
    return nullptr;
}

CFTPDir* CFTPDir::AddSubDir(std::unique_ptr<CFTPDir> dir) {
    dir->m_pParent = this;
    return m_subDirs.AddTail(std::move(dir));
}

CFTPFile* CFTPDir::AddFile(std::unique_ptr<CFTPFile> file) {
    file->m_pParent = this;
    return m_files.AddTail(std::move(file));
}

// ---- CFTPSite

CFTPSite::CFTPSite() : m_pRootDir(std::make_unique<CFTPDir>()), m_strStatus("未更新") {
    m_pRootDir->m_pSite = this;
}

CFTPSite::~CFTPSite() = default;

bool CFTPSite::IsAnonymous() const {
    return m_strPassword == kAnonymousPassword;
}

std::string CFTPSite::GetKey() const {
    if (IsAnonymous())
        return m_strHost;
    return m_strHost + "@" + m_strUser;
}

std::string CFTPSite::GetDisplayName() const {
    return m_strNickname.empty() ? GetKey() : m_strNickname;
}

void CFTPSite::EnsureLoaded() {
    for (;;) {
        const TreeLoadState state = m_nLoadState.load(std::memory_order_acquire);
        if (state == TreeLoadState::Loaded)
            return;
        if (state == TreeLoadState::Loading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        // The tree lock is taken before the 0 -> 2 step and held until the value is 1. A thread
        // that already holds the lock when it asks therefore never finds a reader at work that
        // waits for the lock in turn; others wait on the lock or in the loop above.
        auto lock = LockTree();
        TreeLoadState expected = TreeLoadState::NotLoaded;
        if (m_nLoadState.compare_exchange_strong(expected, TreeLoadState::Loading,
                                                 std::memory_order_acq_rel)) {
            CResult<void> loaded = LoadCatalogueAndState();
            if (!loaded)
                m_loadFault = loaded.error();
            DecideNameCharset();
            m_nLoadState.store(TreeLoadState::Loaded, std::memory_order_release);
            return;
        }
    }
}

bool CFTPSite::IsUpdatedThisRunAndLoaded() const {
    const UpdateStatus status = m_nUpdateStatus.load();
    return status != UpdateStatus::NotUpdated && status != UpdateStatus::Failed && IsLoaded();
}

void CFTPSite::SetStatus(const std::string& text, UpdateStatus code) {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_strStatus = text;
    m_nUpdateStatus.store(code);
}

void CFTPSite::SetStatusText(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_strStatus = text;
}

std::string CFTPSite::GetStatusText() const {
    std::lock_guard<std::mutex> lock(m_statusLock);
    return m_strStatus;
}

CSiteSettings CFTPSite::GetSettings() const {
    std::lock_guard<std::mutex> lock(m_settingsLock);
    if (!m_bSettingsRead) {
        m_settings = LoadSiteSettings(GetKey());
        m_bSettingsRead = true;
        m_encodingChoice.store(m_settings.m_encoding);
        m_bSettingsKnown.store(true, std::memory_order_release);
    }
    return m_settings;
}

void CFTPSite::KeepSettings(const CSiteSettings& settings) {
    std::lock_guard<std::mutex> lock(m_settingsLock);
    m_settings = settings;
    m_bSettingsRead = true;
    m_encodingChoice.store(m_settings.m_encoding);
    m_bSettingsKnown.store(true, std::memory_order_release);
}

bool CFTPSite::SetSettings(const CSiteSettings& settings) {
    // Under the tree lock: a save of the site's files swaps its directory, and a settings file
    // written into the directory being swapped out would be lost.
    auto treeLock = LockTree();
    KeepSettings(settings);
    std::lock_guard<std::mutex> lock(m_settingsLock);
    // Written whole, the settings are no longer the damaged ones they may have been read from.
    const bool saved = SaveSiteSettings(GetKey(), settings).ok();
    if (saved)
        m_settings.m_strDamage.clear();
    return saved;
}

NameCharset CFTPSite::GetNameCharset() const {
    if (!m_bSettingsKnown.load(std::memory_order_acquire))
        GetSettings();
    switch (m_encodingChoice.load(std::memory_order_relaxed)) {
    case NameEncodingChoice::Utf8:
        return NameCharset::Utf8;
    case NameEncodingChoice::Gbk:
        return NameCharset::Gbk;
    case NameEncodingChoice::Auto:
        break;
    }
    return m_nameCharset.load(std::memory_order_relaxed);
}

namespace {

// Whether a name has a byte of 0x80 or above, eight bytes at a time: most names are ASCII, which
// the evidence passes over, and every load looks at every name.
bool HasHighByteFast(const std::string& name) {
    const char* p = name.data();
    std::size_t n = name.size();
    uint64_t any = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        any |= word;
    }
    for (; n > 0; ++p, --n)
        any |= static_cast<unsigned char>(*p);
    return (any & 0x8080808080808080ull) != 0;
}

} // namespace

void CFTPSite::DecideNameCharset() {
    CNameEvidence evidence;
    auto add = [&evidence](const std::string& name) {
        if (HasHighByteFast(name))
            evidence.Add(name);
    };
    WalkStoredOrder(
        *m_pRootDir, [&add](const CFTPDir& dir, std::size_t) { add(dir.m_strName); },
        [&add](const CFTPFile& file, std::size_t) { add(file.m_strName); });
    NameCharset decided = evidence.Decide();
    // A server switched to UTF-8 names speaks UTF-8, unless the names plainly say otherwise.
    if (GetSettings().m_bServerUtf8 && evidence.InvalidUtf8Names() == 0)
        decided = NameCharset::Utf8;
    m_nameCharset.store(decided, std::memory_order_relaxed);
}
