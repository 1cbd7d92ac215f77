// Feeds arbitrary bytes to the three readers of the data files: as a content.ct (then the same
// bytes as its state.st), and as a site.ds. The readers work on a memory buffer here; the file
// readers use the same code behind a file buffer.
#include "model/DataArchive.h"
#include "model/Records.h"
#include "model/SiteCatalogue.h"
#include "model/SiteListFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void ReadAsCatalogueAndState(const uint8_t* data, size_t size) {
    CFTPSite site;
    try {
        CDataArchive ar(data, size);
        site.m_pRootDir->Persist(ar);
    } catch (const std::exception&) {
    }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAsCatalogueAndState(data, size);
    ReadAsSiteList(data, size);
    ReadAsObjects(data, size);
    return 0;
}
