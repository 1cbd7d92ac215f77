#include "model/StoredPair.h"
#include "model/Paths.h"
#include "model/Records.h"
#include "model/SiteDirectory.h"
#include "model/TreeWalk.h"
#include "platform/Descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <string_view>

namespace {

uint64_t Mix(uint64_t h, uint64_t value) {
    h = (h ^ value) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
}

uint64_t HashName(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

} // namespace

uint64_t TreeSignature(const std::string& key, const CFTPDir& root) {
    uint64_t h = Mix(0x51ED270B27CA5A3Full, HashName(key));
    auto addDir = [&h](const CFTPDir& dir) {
        h = Mix(h, HashName(dir.m_strName));
        h = Mix(h, dir.m_subDirs.GetCount());
        h = Mix(h, dir.m_files.GetCount());
    };
    addDir(root);
    WalkStoredOrder(
        root, [&](const CFTPDir& dir, std::size_t) { addDir(dir); },
        [&h](const CFTPFile& file, std::size_t) {
            h = Mix(h, HashName(file.m_strName));
            h = Mix(h, file.m_nSize);
        });
    return h | 1;
}

void RememberCatalogue(CFTPSite& site, uint64_t signature, const struct stat* file) {
    CFTPSite::CStoredCatalogue stored;
    stored.m_nSignature = signature;
    if (file) {
        stored.m_nDevice = file->st_dev;
        stored.m_nInode = file->st_ino;
        stored.m_nSize = file->st_size;
        stored.m_nModified = ModifiedNs(*file);
    }
    site.m_storedCatalogue = stored;
}

void RememberState(CFTPSite& site, const struct stat* file) {
    CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    stored.m_bStateKnown = true;
    stored.m_nStateDevice = file ? file->st_dev : 0;
    stored.m_nStateInode = file ? file->st_ino : 0;
    stored.m_nStateSize = file ? file->st_size : 0;
    stored.m_nStateModified = file ? ModifiedNs(*file) : 0;
}

bool StateFileUnchanged(const CFTPSite& site, int siteFd) {
    const CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    if (!stored.m_bStateKnown)
        return false;
    struct stat st {};
    if (fstatat(siteFd, kStateName, &st, 0) != 0)
        return errno == ENOENT && stored.m_nStateInode == 0;
    return stored.m_nStateInode != 0 && st.st_dev == stored.m_nStateDevice &&
           st.st_ino == stored.m_nStateInode && st.st_size == stored.m_nStateSize &&
           ModifiedNs(st) == stored.m_nStateModified;
}

bool StoredFileUnchanged(const CFTPSite& site, int siteFd) {
    const CFTPSite::CStoredCatalogue& stored = site.m_storedCatalogue;
    if (stored.m_nSignature == 0)
        return false;
    struct stat st {};
    if (fstatat(siteFd, kCatalogueName, &st, 0) != 0)
        return errno == ENOENT && stored.m_nInode == 0;
    return stored.m_nInode != 0 && st.st_dev == stored.m_nDevice && st.st_ino == stored.m_nInode &&
           st.st_size == stored.m_nSize && ModifiedNs(st) == stored.m_nModified;
}

bool TreeUnchanged(const CFTPSite& site, const std::string& key) {
    return site.m_storedCatalogue.m_nSignature != 0 &&
           TreeSignature(key, *site.m_pRootDir) == site.m_storedCatalogue.m_nSignature;
}

bool PairUnchanged(const CFTPSite& site, const std::string& key) {
    CFd siteDir(open(SiteDataDirPath(key).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return siteDir.IsOpen() && StoredFileUnchanged(site, siteDir.Get()) &&
           StateFileUnchanged(site, siteDir.Get());
}
