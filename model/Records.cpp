#include "model/Records.h"

#include "model/TreeWalk.h"

#include <atomic>
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

// ---- CObject

const CClassRecord* CObject::GetClassRecord() const {
    switch (m_nKind) {
    case Kind::Site:
        return &CFTPSite::classCFTPSite;
    case Kind::Dir:
        return &CFTPDir::classCFTPDir;
    case Kind::File:
        break;
    }
    return &CFTPFile::classCFTPFile;
}

void CObject::Persist(CDataArchive& ar) {
    switch (m_nKind) {
    case Kind::Site:
        static_cast<CFTPSite*>(this)->Persist(ar);
        return;
    case Kind::Dir:
        static_cast<CFTPDir*>(this)->Persist(ar);
        return;
    case Kind::File:
        static_cast<CFTPFile*>(this)->Persist(ar);
        return;
    }
}

void* CObject::operator new(std::size_t size) {
    return ::operator new(size);
}

void CObject::operator delete(void* pointer, std::size_t size) noexcept {
    ::operator delete(pointer, size);
}

void CObject::operator delete(CObject* object, std::destroying_delete_t) {
    switch (object->m_nKind) {
    case Kind::Site: {
        auto* site = static_cast<CFTPSite*>(object);
        site->~CFTPSite();
        ::operator delete(site, sizeof(CFTPSite));
        return;
    }
    case Kind::Dir: {
        auto* dir = static_cast<CFTPDir*>(object);
        dir->~CFTPDir();
        ::operator delete(dir, sizeof(CFTPDir));
        return;
    }
    case Kind::File: {
        auto* file = static_cast<CFTPFile*>(object);
        file->~CFTPFile();
        CFTPFile::operator delete(file, sizeof(CFTPFile));
        return;
    }
    }
}

// ---- CDirLink

namespace {

// The directories alive, by number, in blocks that never move once made, so that a number is
// turned into its directory without a lock while other threads make and destroy directories.
constexpr uint32_t kLinkBlockBits = 12;
constexpr uint32_t kLinkBlockSize = uint32_t{1} << kLinkBlockBits;
constexpr uint32_t kLinkBlocks = uint32_t{1} << 16; // room for 268 million directories

std::atomic<std::atomic<CFTPDir*>*> g_linkBlocks[kLinkBlocks];

struct LinkNumbers {
    std::mutex lock;
    std::vector<uint32_t> free;
    uint32_t next = 1; // 0 is the null link
};

LinkNumbers& Links() {
    static LinkNumbers* numbers = new LinkNumbers; // never destroyed: directories may outlive statics
    return *numbers;
}

uint32_t TakeLinkNumber(CFTPDir* dir) {
    LinkNumbers& links = Links();
    uint32_t number;
    {
        std::lock_guard<std::mutex> guard(links.lock);
        if (!links.free.empty()) {
            number = links.free.back();
            links.free.pop_back();
        } else {
            if (links.next >> kLinkBlockBits >= kLinkBlocks)
                throw std::bad_alloc();
            number = links.next++;
            auto& block = g_linkBlocks[number >> kLinkBlockBits];
            if (!block.load(std::memory_order_relaxed))
                block.store(new std::atomic<CFTPDir*>[kLinkBlockSize](), std::memory_order_release);
        }
    }
    g_linkBlocks[number >> kLinkBlockBits]
        .load(std::memory_order_acquire)[number & (kLinkBlockSize - 1)]
        .store(dir, std::memory_order_release);
    return number;
}

void GiveLinkNumber(uint32_t number) noexcept {
    g_linkBlocks[number >> kLinkBlockBits]
        .load(std::memory_order_acquire)[number & (kLinkBlockSize - 1)]
        .store(nullptr, std::memory_order_relaxed);
    LinkNumbers& links = Links();
    std::lock_guard<std::mutex> guard(links.lock);
    try {
        links.free.push_back(number);
    } catch (...) {
        // The number is not used again.
    }
}

} // namespace

CDirLink::CDirLink(const CFTPDir* dir) : m_nDir(dir ? dir->m_nLinkNumber : 0) {}

CFTPDir* CDirLink::Resolve(uint32_t number) {
    if (!number)
        return nullptr;
    return g_linkBlocks[number >> kLinkBlockBits]
        .load(std::memory_order_acquire)[number & (kLinkBlockSize - 1)]
        .load(std::memory_order_acquire);
}

// ---- CFTPFile

CFTPSite* CFTPFile::GetSite() const {
    CFTPDir* root = RootOf(m_pParent);
    return root ? root->m_pSite : nullptr;
}

// ---- CFTPDir

CFTPDir::CFTPDir() : CObject(Kind::Dir), m_nLinkNumber(TakeLinkNumber(this)) {}

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
    GiveLinkNumber(m_nLinkNumber);
}

CFTPSite* CFTPDir::GetSite() const {
    const CFTPDir* root = this;
    while (root->m_pParent)
        root = root->m_pParent;
    return root->m_pSite;
}

std::string CFTPDir::GetPath() const {
    if (!m_pParent)
        return m_strName.empty() ? std::string("/") : m_strName.str();
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

CFTPSite::CFTPSite() : CObject(Kind::Site), m_pRootDir(std::make_unique<CFTPDir>()), m_strStatus("未更新") {
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
bool HasHighByteFast(std::string_view name) {
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
    auto add = [&evidence](std::string_view name) {
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

// What a million-entry tree costs hangs on these: keep them from growing unnoticed.
static_assert(sizeof(void*) != 8 || sizeof(CFTPFile) == 24, "a file node is 24 bytes");
static_assert(sizeof(void*) != 8 || sizeof(CFTPDir) == 64, "a directory node is 64 bytes");
