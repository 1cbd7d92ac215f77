// Feeds arbitrary bytes to the three readers of the data files: as a content.ct (then the same
// bytes as its state.st), and as a site.ds. The readers work on a memory buffer here; the file
// readers use the same code behind a file buffer.
#include "model/DataArchive.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/SiteListFile.h"
#include "model/TreeWalk.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Every node of a tree in the stored order, for comparing two readings.
std::string Describe(const CFTPDir& root) {
    std::string text = root.m_strName + "\n";
    WalkStoredOrder(
        root,
        [&](const CFTPDir& dir, std::size_t depth) {
            text += "D" + std::to_string(depth) + dir.m_strName + "\n";
        },
        [&](const CFTPFile& file, std::size_t) {
            text += "F" + std::to_string(file.m_nSize) + file.m_strName + "\n";
        });
    return text;
}

// The same bytes as a file read through a tiny buffer: every value then straddles a refill, and
// the result must be the tree the memory reader built.
void ReadThroughFile(const uint8_t* data, size_t size, const std::string& expected) {
    static const int fd = memfd_create("archive_fuzz", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0)
        return;
    CFTPSite site;
    try {
        CDataArchive ar(fd, CDataArchive::load, "fuzz", 16);
        site.m_pRootDir->Persist(ar);
    } catch (const std::exception&) {
    }
    if (Describe(*site.m_pRootDir) != expected)
        __builtin_trap();
}

void ReadAsCatalogueAndState(const uint8_t* data, size_t size) {
    CFTPSite site;
    try {
        CDataArchive ar(data, size);
        site.m_pRootDir->Persist(ar);
    } catch (const std::exception&) {
    }
    ReadThroughFile(data, size, Describe(*site.m_pRootDir));
    try {
        CDataArchive ar(data, size);
        ReadStateFlags(ar, *site.m_pRootDir);
    } catch (const std::exception&) {
    }
    // What was read must write back and read again to the same bytes.
    std::string first;
    {
        CDataArchive out(&first);
        site.m_pRootDir->Persist(out);
        out.Close();
    }
    CFTPSite again;
    CDataArchive in(first.data(), first.size());
    again.m_pRootDir->Persist(in);
    std::string second;
    {
        CDataArchive out(&second);
        again.m_pRootDir->Persist(out);
        out.Close();
    }
    if (first != second)
        __builtin_trap();
}

void ReadAsSiteList(const uint8_t* data, size_t size) {
    CObList<CFTPSite> list;
    CDataArchive ar(data, size);
    const SiteListLoadResult result = ReadSiteList(ar, list);
    if (result.outcome == SiteListLoadResult::Ok && !result.message.empty())
        __builtin_trap();
    for (CFTPSite* site : list)
        (void)site->GetKey();
}

// Generic object reading: any class at the top level.
void ReadAsObjects(const uint8_t* data, size_t size) {
    try {
        CDataArchive ar(data, size);
        for (int i = 0; i < 64; ++i)
            ar.ReadObject();
    } catch (const std::exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAsCatalogueAndState(data, size);
    ReadAsSiteList(data, size);
    ReadAsObjects(data, size);
    return 0;
}
