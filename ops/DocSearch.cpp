// Search: the keyword search over all sites, the listings of new entries, and the matching walks.
#include "ops/DocWalk.h"
#include "ops/QuarnelDoc.h"
#include "ops/SearchQuery.h"
#include "ops/ShownText.h"

namespace {

constexpr const char* kNothingFound = "对不起，没有找到你要的文件！";
constexpr const char* kNoUnreadFiles = "没有未读文件！";

template <class Entry> inline bool EntryMatches(const Entry* entry, const CSearchKeyword& keyword) {
    return keyword.IsNewEntries() ? entry->m_bNew == 1 : keyword.Matches(entry->m_strName);
}

// Ends the sink's view of a search however the search ends.
class SinkEnd {
public:
    explicit SinkEnd(ISearchSink* sink) : m_sink(sink) {}
    ~SinkEnd() {
        if (m_sink)
            m_sink->SearchEnded();
    }
    SinkEnd(const SinkEnd&) = delete;
    SinkEnd& operator=(const SinkEnd&) = delete;

private:
    ISearchSink* m_sink;
};

} // namespace

void CQuarnelDoc::BeginFound(const SearchStart& start) {
    m_foundDirs.clear();
    m_foundFiles.clear();
    if (m_pSearchSink)
        m_pSearchSink->SearchStarted(start);
}

void CQuarnelDoc::AppendFound(CFTPDir* dir) {
    m_foundDirs.push_back(dir);
    if (m_pSearchSink)
        m_pSearchSink->FoundDir(dir);
}

void CQuarnelDoc::AppendFound(CFTPFile* file) {
    m_foundFiles.push_back(file);
    if (m_pSearchSink)
        m_pSearchSink->FoundFile(file);
}

bool CQuarnelDoc::PumpAfterHit() {
    // The first hit of a query search is shown at once; later ones go with the pump's next
    // batch: the window batches rows every ~10 ms anyway, and asking it after each of a million
    // hits costs more than the matching. (The keyword search asks after every hit.)
    if (m_foundDirs.size() + m_foundFiles.size() == 1)
        return PumpNow();
    return WalkCheck();
}

bool CQuarnelDoc::SearchList(const CObList<CFTPDir>& dirs, const CSearchKeyword& keyword) {
    const bool newEntries = keyword.IsNewEntries();
    return WalkDirList(
        dirs,
        [&](CFTPDir* dir) {
            const bool matched = EntryMatches(dir, keyword);
            if (matched) {
                AppendFound(dir);
                if (!PumpNow()) // at once after a hit, so that it shows without delay
                    return DirStep::kStop;
            } else if (!WalkCheck()) {
                return DirStep::kStop;
            }
            // A new directory is listed alone: everything below it is new as well.
            return newEntries && matched ? DirStep::kSkipContents : DirStep::kDescend;
        },
        [&](CFTPFile* file) {
            if (EntryMatches(file, keyword)) {
                AppendFound(file);
                return PumpNow();
            }
            return WalkCheck();
        });
}

bool CQuarnelDoc::SearchBelow(CFTPDir* dir, const CSearchKeyword& keyword) {
    if (!SearchList(dir->m_subDirs, keyword))
        return false;
    for (CFTPFile* file : dir->m_files) {
        if (EntryMatches(file, keyword)) {
            AppendFound(file);
            if (!PumpNow())
                return false;
        } else if (!WalkCheck()) {
            return false;
        }
    }
    return true;
}

bool CQuarnelDoc::SearchDirList(const CObList<CFTPDir>& dirs, const CSearchKeyword& keyword) {
    WalkScope walk(*this);
    CFTPSite* site = dirs.IsEmpty() ? nullptr : dirs.GetHead()->GetSite();
    auto lock = LockTree(site);
    return SearchList(dirs, site ? keyword.ForSite(site->GetNameCharset()) : keyword);
}

bool CQuarnelDoc::SearchUnder(CFTPDir* dir, const CSearchKeyword& keyword) {
    if (!dir)
        return true;
    WalkScope walk(*this);
    CFTPSite* site = dir->GetSite();
    auto lock = LockTree(site);
    return SearchBelow(dir, site ? keyword.ForSite(site->GetNameCharset()) : keyword);
}

SearchOutcome CQuarnelDoc::SearchAllSites(const std::string& keywordUtf8) {
    return SearchAllSites(CSearchKeyword::FromTyped(keywordUtf8));
}

SearchOutcome CQuarnelDoc::SearchAllSites(const CSearchKeyword& keyword) {
    return RunSiteSearch(keyword, SiteScope::All, false);
}

SearchOutcome CQuarnelDoc::ShowNewFiles(SiteScope scope) {
    return RunSiteSearch(CSearchKeyword::FromNarrow("#new"), scope, true);
}

SearchOutcome CQuarnelDoc::RunSiteSearch(const CSearchKeyword& keyword, SiteScope scope,
                                         bool newFilesCommand) {
    if (IsWalkInProgress())
        return {OpStatus::Busy, {}};
    WalkScope walk(*this);
    const auto total = static_cast<int32_t>(m_siteList.GetCount());
    m_nSearchTotal = total;
    m_nSearchDone = 0;
    BeginFound({total, true, !newFilesCommand});
    SinkEnd end(m_pSearchSink);
    if (total == 0)
        return {};

    for (int32_t i = 0; i < total && static_cast<std::size_t>(i) < m_siteList.GetCount(); ++i) {
        CFTPSite* site = m_siteList.GetAt(static_cast<std::size_t>(i));
        ++m_nSearchDone;
        if (m_pSearchSink)
            m_pSearchSink->SearchProgress(m_nSearchDone, total);
        if (newFilesCommand && scope == SiteScope::Updated) {
            // No tree is read from disk in this scope; an unloaded tree holds no marks yet.
            if (!site->IsUpdatedThisRunAndLoaded())
                continue;
            if (!PumpNow())
                return {OpStatus::Stopped, {}};
        } else {
            const bool wasLoaded = site->IsLoaded();
            site->EnsureLoaded(); // before the lock: a worker may be loading it under the lock
            if ((newFilesCommand || !wasLoaded) && !PumpNow())
                return {OpStatus::Stopped, {}};
        }
        auto lock = site->LockTree();
        if (!SearchBelow(site->m_pRootDir.get(), keyword.ForSite(site->GetNameCharset())))
            return {OpStatus::Stopped, {}};
    }
    if (m_foundDirs.empty() && m_foundFiles.empty())
        return {OpStatus::Done, newFilesCommand ? kNoUnreadFiles : kNothingFound};
    return {};
}

SearchOutcome CQuarnelDoc::ShowNewUnder(CFTPDir* dir) {
    if (IsWalkInProgress())
        return {OpStatus::Busy, {}};
    if (!dir)
        return {};
    WalkScope walk(*this);
    BeginFound({0, false, false});
    SinkEnd end(m_pSearchSink);
    CFTPSite* site = dir->GetSite();
    if (site)
        site->EnsureLoaded();
    auto lock = LockTree(site);
    if (!SearchBelow(dir, CSearchKeyword::FromNarrow("#new")))
        return {OpStatus::Stopped, {}};
    return {};
}

bool CQuarnelDoc::FindBelow(CFTPDir* dir, const CSearchQuery& query, NameCharset charset) {
    const bool dirs = query.WantsDirs(), files = query.WantsFiles();
    auto onFile = [&](CFTPFile* file) {
        if (files && query.Matches(file, charset)) {
            AppendFound(file);
            return PumpAfterHit();
        }
        return WalkCheck();
    };
    const bool walked = WalkDirList(
        dir->m_subDirs,
        [&](CFTPDir* sub) {
            if (dirs && query.Matches(sub, charset)) {
                AppendFound(sub);
                if (!PumpAfterHit())
                    return DirStep::kStop;
            } else if (!WalkCheck()) {
                return DirStep::kStop;
            }
            return DirStep::kDescend;
        },
        onFile);
    if (!walked)
        return false;
    for (CFTPFile* file : dir->m_files)
        if (!onFile(file))
            return false;
    return true;
}

SearchOutcome CQuarnelDoc::FindAllSites(const CSearchQuery& query, bool asYouType) {
    if (IsWalkInProgress())
        return {OpStatus::Busy, {}};
    WalkScope walk(*this);
    const auto total = static_cast<int32_t>(m_siteList.GetCount());
    m_nSearchTotal = total;
    m_nSearchDone = 0;
    BeginFound({total, !asYouType, !asYouType});
    SinkEnd end(m_pSearchSink);
    for (int32_t i = 0; query.Ok() && i < total && static_cast<std::size_t>(i) < m_siteList.GetCount(); ++i) {
        CFTPSite* site = m_siteList.GetAt(static_cast<std::size_t>(i));
        ++m_nSearchDone;
        if (m_pSearchSink)
            m_pSearchSink->SearchProgress(m_nSearchDone, total);
        if (!query.SiteMayMatch(ShownField(site->GetKey()), ShownField(site->m_strNickname)))
            continue;
        const bool wasLoaded = site->IsLoaded();
        site->EnsureLoaded(); // before the lock: a worker may be loading it under the lock
        if (!wasLoaded && !PumpNow())
            return {OpStatus::Stopped, {}};
        auto lock = site->LockTree();
        if (!FindBelow(site->m_pRootDir.get(), query, site->GetNameCharset()))
            return {OpStatus::Stopped, {}};
    }
    if (m_foundDirs.empty() && m_foundFiles.empty())
        return {OpStatus::Done, kNothingFound};
    return {};
}
