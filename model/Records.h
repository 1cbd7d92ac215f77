#pragma once
// The catalogue records: a site (one server login and its update state), the directories of
// its stored tree and their files. A site owns its root; a directory owns its children.

#include "model/FileError.h"
#include "model/NodeName.h"
#include "model/ObList.h"
#include "model/SiteSettings.h"
#include "platform/NameCharset.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>

class CDataArchive;
class CObject;

// Name, schema and creator of a storable class; the archive reader finds a class by its name.
struct CClassRecord {
    const char* m_lpszClassName;
    uint16_t m_wSchema;
    CObject* (*m_pfnCreateObject)();
};

// Looks a class up among the registered record classes, comparing the name exactly.
const CClassRecord* FindClassRecord(const char* name, std::size_t length);

// The base of the three record classes. It holds which of them an object is, in one byte instead
// of a table pointer: files are counted in millions and every byte of theirs counts. Deleting
// through a CObject pointer destroys the object as what it is.
class CObject {
public:
    const CClassRecord* GetClassRecord() const;
    void Persist(CDataArchive& ar);
    static void operator delete(CObject* object, std::destroying_delete_t);
    // The allocation that goes with it, and the release of an object whose constructor threw.
    static void* operator new(std::size_t size);
    static void operator delete(void* pointer, std::size_t size) noexcept;

protected:
    enum class Kind : uint8_t { Site, Dir, File };
    explicit CObject(Kind kind) : m_nKind(kind) {}

private:
    Kind m_nKind;
};

// Sent as the password of anonymous logins, stored as the password of anonymous sites, and
// compared with a site's password to tell whether the site is anonymous.
inline constexpr const char* kAnonymousPassword = "quarnel@example.com";
inline constexpr const char* kAnonymousUser = "anonymous";

// Directories nested deeper than this below a site's root are not read from content.ct: the
// file is treated as damaged at that point, so no later walk has to cope with a hostile depth.
inline constexpr std::size_t kMaxTreeDepth = 1024;

class CFTPSite;
class CFTPDir;

// A site's update status in this run. The values are fixed: the site tree's image of a site is
// the value plus 2.
enum class UpdateStatus : int32_t {
    NotUpdated = 0, // not updated in this run
    Failed = 1,     // the last update could not log in or broke down
    Succeeded = 2,
    Ended = 3,   // the last update ended early: stopped, or the connection was lost
    Waiting = 4, // queued or being updated
};

// Whether a site's stored tree has been read from disk. Steps 0 -> 2 -> 1, never back.
enum class TreeLoadState : int32_t {
    NotLoaded = 0,
    Loaded = 1,
    Loading = 2, // one thread reads the files; others wait for Loaded
};

// A file's link to its directory in four bytes: the directory's number among the directories
// alive in the process. Reads and assigns like a CFTPDir pointer.
class CDirLink {
public:
    CDirLink() = default;
    CDirLink(std::nullptr_t) {}
    explicit CDirLink(const CFTPDir* dir);
    CDirLink& operator=(const CFTPDir* dir) { return *this = CDirLink(dir); }
    CDirLink& operator=(std::nullptr_t) {
        m_nDir = 0;
        return *this;
    }
    operator CFTPDir*() const { return Resolve(m_nDir); }
    CFTPDir* operator->() const { return Resolve(m_nDir); }
    CFTPDir& operator*() const { return *Resolve(m_nDir); }
    explicit operator bool() const { return m_nDir != 0; }

private:
    static CFTPDir* Resolve(uint32_t number);
    uint32_t m_nDir = 0;
};

class CFTPFile : public CObject {
public:
    static const CClassRecord classCFTPFile;
    CFTPFile() : CObject(Kind::File) {}
    const CClassRecord* GetClassRecord() const { return &classCFTPFile; }
    void Persist(CDataArchive& ar);

    CFTPSite* GetSite() const;

    // Files are by far the most numerous nodes: they come from a pool without per-block overhead.
    static void* operator new(std::size_t size);
    static void operator delete(void* pointer, std::size_t size) noexcept;

    // In this order the members fill 24 bytes with the base's kind byte.
    int8_t m_bSeen = 0;
    int32_t m_bNew = 0;
    CName m_strName;
    CDirLink m_pParent;
    uint64_t m_nSize = 0;
};

class CFTPDir : public CObject {
public:
    static const CClassRecord classCFTPDir;
    CFTPDir();
    CFTPDir(const CFTPDir&) = delete;
    CFTPDir& operator=(const CFTPDir&) = delete;
    const CClassRecord* GetClassRecord() const { return &classCFTPDir; }
    void Persist(CDataArchive& ar);
    ~CFTPDir();

    CFTPSite* GetSite() const;
    std::string GetPath() const;
    CFTPDir* FindSubDir(const std::string& name) const;
    CFTPFile* FindFile(const std::string& name) const;

    // Append a child at the end of its list and make this directory its parent; what every
    // builder of a tree uses, so that m_pParent always names the list's directory.
    CFTPDir* AddSubDir(std::unique_ptr<CFTPDir> dir);
    CFTPFile* AddFile(std::unique_ptr<CFTPFile> file);

    int8_t m_bSeen = 0;
    int32_t m_bNew = 0;
    CName m_strName;

private:
    friend class CDirLink;
    uint32_t m_nLinkNumber; // what a CDirLink to this directory holds; beside the name it costs nothing

public:
    CFTPDir* m_pParent = nullptr;
    CFTPSite* m_pSite = nullptr; // on the root only
    CObList<CFTPFile> m_files;
    CObList<CFTPDir> m_subDirs;
};

class CFTPSite : public CObject {
public:
    static const CClassRecord classCFTPSite;
    const CClassRecord* GetClassRecord() const { return &classCFTPSite; }
    void Persist(CDataArchive& ar);

    CFTPSite();
    ~CFTPSite();

    std::string GetKey() const;
    bool IsAnonymous() const;
    std::string GetDisplayName() const;

    // Reads content.ct and state.st once per run, in whichever thread asks first.
    void EnsureLoaded();
    // What went wrong in that read (path empty: nothing), for front ends that report it. Written
    // once before the tree counts as loaded; read it after EnsureLoaded or IsLoaded.
    FileError m_loadFault;
    bool IsLoaded() const { return m_nLoadState.load(std::memory_order_acquire) == TreeLoadState::Loaded; }

    // Updated in this run (succeeded, ended early, or waiting again) and its tree in memory: the
    // sites whose new marks the "updated sites" commands walk without reading anything from disk.
    bool IsUpdatedThisRunAndLoaded() const;

    // Holds m_treeLock for the caller's scope: `auto lock = site->LockTree();`.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> LockTree() const {
        return std::unique_lock<std::recursive_mutex>(m_treeLock);
    }

    // The four files operations of the site's data directory (Data/KEY under the program
    // directory). A key that cannot be one directory name makes them do nothing.
    // Loads keep what was read before a fault; what went wrong (the file, and the system's error
    // or where the content is damaged) is logged and returned. Saves take m_treeLock only to take
    // what they write and to put the files in place, never while they write or wait for another
    // program's save, and clear m_bStateDirty as they take the marks (set again if they fail). They
    // never leave a content.ct beside a state.st of another tree: SaveCatalogue writes both files into a
    // fresh directory that takes the place of Data/KEY in one rename (the directory's other files
    // go along); SaveState writes state.st alone while content.ct on disk still holds the tree in
    // memory, else the pair. A save that fails returns false with errno and m_nSaveError set (the
    // Try forms return the file and the cause, and every failure is logged); the old files are
    // then whole and the tree stays in memory. SaveCatalogue creates Data and the site directory,
    // SaveState only the site directory. Loads and saves also remove what saves killed part way
    // left behind.
    CResult<void> LoadCatalogue();
    CResult<void> LoadState();
    bool SaveCatalogue();
    bool SaveState();
    // How a save of the pair may go about it.
    struct CSaveOptions {
        // Only the calling thread changes the tree's names, sizes and shape while the save runs (an
        // update worker saving what it merged): content.ct is then written from the tree itself
        // without the lock, which is held only to take the read marks.
        bool m_bShapeOwned = false;
        // Asked under m_treeLock just before the new files take the place of the old ones; false
        // drops them and the save ends as done (the site was deleted meanwhile).
        std::function<bool()> m_mayCommit;
    };
    [[nodiscard]] CResult<void> TrySaveCatalogue();
    [[nodiscard]] CResult<void> TrySaveCatalogue(const CSaveOptions& options);
    [[nodiscard]] CResult<void> TrySaveState();
    // LoadCatalogue then LoadState through one open site directory, so that the two files read
    // come from one save. What EnsureLoaded runs.
    CResult<void> LoadCatalogueAndState();

    // Status text and code are written by update workers and read by the window thread.
    void SetStatus(const std::string& text, UpdateStatus code);
    void SetStatusText(const std::string& text);
    std::string GetStatusText() const;

    // The site's own settings (Data/KEY/site.conf), read on first use from any thread.
    CSiteSettings GetSettings() const;
    // Keeps `settings` and writes them under the site's current key; false when the file could
    // not be written (they are kept for this run all the same).
    bool SetSettings(const CSiteSettings& settings);
    // Keeps `settings` for this run without writing them: an update learns a setting while it
    // walks and writes it with the site's files when it ends.
    void KeepSettings(const CSiteSettings& settings);

    // How the names of this site's server are read: the user's choice, else what the stored names
    // and the server's UTF8 feature show (decided again by DecideNameCharset).
    NameCharset GetNameCharset() const;
    // Looks at every stored name; the caller holds m_treeLock, or the tree is not shared yet, or
    // the caller is the one thread that changes its names and shape (an update worker).
    void DecideNameCharset();

    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    int32_t m_nPort = 21;
    std::unique_ptr<CFTPDir> m_pRootDir;
    std::atomic<uint8_t> m_bHasNew{0};
    std::atomic<uint8_t> m_bStateDirty{0};
    // errno of the last save of the site's files if it failed, 0 if it went through.
    std::atomic<int32_t> m_nSaveError{0};
    std::string m_strStatus; // guarded by m_statusLock; use the accessors across threads
    std::atomic<TreeLoadState> m_nLoadState{TreeLoadState::NotLoaded};
    std::atomic<UpdateStatus> m_nUpdateStatus{UpdateStatus::NotUpdated};
    int32_t m_bResume = 0;
    CFTPDir* m_pResumeDir = nullptr;
    std::string m_strNickname;
    std::string m_strRemark;
    int32_t m_nRetryCount = 0;
    uint8_t m_bAnonymousUpdate = 0;

    // Held by an update worker while it merges one directory (and while it saves the tree), and
    // by the window thread while it reads the tree into a list or changes read marks. Recursive,
    // because the window thread lets events through while it holds it during long walks. Take it
    // through LockTree.
    //
    // Lock order: tree -> update queue (update/) -> status; tree -> settings. A thread holding
    // one of these never asks for one to its left. Under the status or the settings lock nothing
    // else is taken but the log's own lock (model/Log.cpp).
    mutable std::recursive_mutex m_treeLock;

    // content.ct as this process last read or wrote it (guarded by m_treeLock): which file it was
    // and a signature of the key and the tree it held. SaveState holds them against the disk and
    // the tree in memory to tell whether state.st may be written alone.
    struct CStoredCatalogue {
        uint64_t m_nSignature = 0; // 0: not known
        uint64_t m_nDevice = 0;
        uint64_t m_nInode = 0; // 0: there was no content.ct
        int64_t m_nSize = 0;
        int64_t m_nModified = 0; // nanoseconds
        // state.st as last read or written beside it: marks found in any other were set by
        // another program and are taken in before a save.
        bool m_bStateKnown = false;
        uint64_t m_nStateDevice = 0;
        uint64_t m_nStateInode = 0; // 0: there was no state.st
        int64_t m_nStateSize = 0;
        int64_t m_nStateModified = 0;
    };
    CStoredCatalogue m_storedCatalogue;

    // Whether another program replaced the site's files since this process last read or wrote
    // them (a tree never read from disk, or a site directory that is gone: no). The caller holds
    // m_treeLock.
    bool SavedElsewhere() const;
    // A reload of a loaded site whose files another program replaced, in two steps so that the
    // files are read without the lock: ReadStoredTree reads the pair as it is stored now into a
    // tree of its own (any thread); TakeStoredTree then makes it the site's tree under m_treeLock,
    // the root staying the same object, and hands back the tree it replaced as the children of a
    // directory of their own, for the caller to announce and free.
    struct CStoredTree {
        std::unique_ptr<CFTPDir> m_pRoot;
        CStoredCatalogue m_stored;
        NameCharset m_nameCharset = NameCharset::Undecided;
    };
    CStoredTree ReadStoredTree() const;
    std::unique_ptr<CFTPDir> TakeStoredTree(CStoredTree tree);

private:
    mutable std::mutex m_statusLock;      // leaf lock: m_strStatus, and m_nUpdateStatus with it
    mutable std::mutex m_settingsLock;    // leaf lock, taken after m_treeLock by SetSettings
    mutable bool m_bSettingsRead = false; // guarded by m_settingsLock
    mutable CSiteSettings m_settings;     // guarded by m_settingsLock
    // Copies of what every shown name needs, readable without the lock.
    mutable std::atomic<bool> m_bSettingsKnown{false};
    mutable std::atomic<NameEncodingChoice> m_encodingChoice{NameEncodingChoice::Auto};
    std::atomic<NameCharset> m_nameCharset{NameCharset::Undecided}; // from the names
};

// LockTree of the site of a directory that may belong to none: an empty lock for null.
[[nodiscard]] inline std::unique_lock<std::recursive_mutex> LockTree(const CFTPSite* site) {
    return site ? site->LockTree() : std::unique_lock<std::recursive_mutex>();
}
