// Site management: the site list file, add, edit, delete and import.
#include "model/Paths.h"
#include "model/SiteData.h"
#include "model/SiteListFile.h"
#include "ops/ImportLine.h"
#include "ops/QuarnelDoc.h"
#include "platform/TextCodec.h"
#include "update/UpdateScheduler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kSiteExists = "站点已有！";
constexpr const char* kCannotOpenFile = "无法打开所选文件！";
constexpr const char* kSiteBusy = "该站点正在更新，请在更新结束后再编辑。";

// Typed text to the stored form. A field the user left as it was shown keeps its stored bytes,
// so that editing one field never re-encodes the others.
std::string StoredText(const std::string& typedUtf8, const std::string& stored) {
    if (NarrowToUtf8(stored) == typedUtf8)
        return stored;
    return Utf8ToNarrow(typedUtf8);
}

bool HasSite(const CObList<CFTPSite>& sites, const std::string& host, const std::string& user) {
    for (const CFTPSite* site : sites)
        if (site->m_strHost == host && site->m_strUser == user)
            return true;
    return false;
}

// The whole file, or false when it cannot be opened or read as a regular file.
bool ReadWholeFile(const std::string& path, std::string& content) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

} // namespace

LoadOutcome CQuarnelDoc::OnNewDocument() {
    const SiteListLoadResult result = LoadSiteList(SiteListPath(), m_siteList);
    if (result.modified)
        m_bModified = true;
    if (result.outcome == SiteListLoadResult::Ok)
        return {};
    return {false, result.message};
}

void CQuarnelDoc::OnCloseDocument() {
    for (CFTPSite* site : m_siteList) {
        if (site->m_bStateDirty && site->SaveState())
            site->m_bStateDirty = 0;
    }
}

bool CQuarnelDoc::SaveSiteList() {
    return ::SaveSiteList(SiteListPath(), m_siteList);
}

bool CQuarnelDoc::SaveSiteListAs(const std::string& path) {
    if (!::SaveSiteList(path, m_siteList))
        return false;
    m_bModified = false;
    return true;
}

SiteOpResult CQuarnelDoc::AddSite(const SiteFields& fields) {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = Utf8ToNarrow(fields.host);
    if (fields.anonymous) {
        site->m_strUser = kAnonymousUser;
        site->m_strPassword = kAnonymousPassword;
    } else {
        site->m_strUser = Utf8ToNarrow(fields.user);
        site->m_strPassword = Utf8ToNarrow(fields.password);
    }
    if (HasSite(m_siteList, site->m_strHost, site->m_strUser))
        return {OpStatus::Refused, nullptr, kSiteExists};
    site->m_nPort = fields.port;
    site->m_strNickname = Utf8ToNarrow(fields.nickname);
    site->m_strRemark = Utf8ToNarrow(fields.remark);
    site->m_bAnonymousUpdate = fields.anonymousUpdate ? 1 : 0;
    site->m_nLoadState = 1; // nothing of it exists on disk yet
    CFTPSite* added = m_siteList.AddTail(std::move(site));
    const bool saved = SaveSiteList();
    return {OpStatus::Done, added, {}, saved};
}

SiteFields CQuarnelDoc::FieldsFromSite(const CFTPSite& site) const {
    SiteFields fields;
    fields.host = NarrowToUtf8(site.m_strHost);
    fields.port = site.m_nPort;
    fields.anonymousUpdate = site.m_bAnonymousUpdate != 0;
    fields.nickname = NarrowToUtf8(site.m_strNickname);
    fields.remark = NarrowToUtf8(site.m_strRemark);
    fields.anonymous = site.IsAnonymous();
    if (!fields.anonymous) {
        fields.user = NarrowToUtf8(site.m_strUser);
        fields.password = NarrowToUtf8(site.m_strPassword);
    }
    return fields;
}

SiteOpResult CQuarnelDoc::EditSite(CFTPSite* site, const SiteFields& fields) {
    if (!site)
        return {OpStatus::Refused, nullptr, {}};
    // A worker reads the login and the key while it updates; changing them under it would
    // race, and its files would land under the old key after the rename.
    if (IsSiteInEngine(site))
        return {OpStatus::Refused, site, kSiteBusy};
    const std::string oldKey = site->GetKey();
    site->m_strHost = StoredText(fields.host, site->m_strHost);
    if (fields.anonymous) {
        site->m_strUser = kAnonymousUser;
        site->m_strPassword = kAnonymousPassword;
    } else {
        site->m_strUser = StoredText(fields.user, site->m_strUser);
        site->m_strPassword = StoredText(fields.password, site->m_strPassword);
    }
    site->m_nPort = fields.port;
    site->m_bAnonymousUpdate = fields.anonymousUpdate ? 1 : 0;
    site->m_strNickname = StoredText(fields.nickname, site->m_strNickname);
    site->m_strRemark = StoredText(fields.remark, site->m_strRemark);
    const std::string newKey = site->GetKey();
    if (newKey != oldKey)
        RenameSiteData(oldKey, newKey); // a failure leaves the catalogue under the old name
    const bool saved = SaveSiteList();
    return {OpStatus::Done, site, {}, saved};
}

OpStatus CQuarnelDoc::DeleteSite(CFTPSite* site) {
    if (!site)
        return OpStatus::Refused;
    if (IsWalkInProgress())
        return OpStatus::Busy;
    std::size_t index = 0;
    while (index < m_siteList.GetCount() && m_siteList.GetAt(index) != site)
        ++index;
    if (index == m_siteList.GetCount())
        return OpStatus::Refused;
    ForgetSite(site);
    const std::string key = site->GetKey();
    // The engine destroys a site it still holds once its worker has ended, and writes nothing
    // more for it; so its files can go after this.
    RetireSite(m_siteList.RemoveAt(index));
    DeleteSiteData(key);
    SaveSiteList();
    return OpStatus::Done;
}

ImportResult CQuarnelDoc::ImportSites(const std::string& path) {
    std::string content;
    if (!ReadWholeFile(path, content))
        return {OpStatus::Refused, 0, kCannotOpenFile};
    ImportResult result;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        std::size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos)
            end = content.size();
        else if (end > start && content[end - 1] == '\r')
            --end; // CR LF ends a line as LF does
        const std::string_view line(content.data() + start, end - start);
        start = next;
        ImportedSite parsed;
        if (!ParseImportLine(line, parsed) || HasSite(m_siteList, parsed.host, parsed.user))
            continue;
        auto site = std::make_unique<CFTPSite>();
        site->m_strHost = std::move(parsed.host);
        site->m_strUser = std::move(parsed.user);
        site->m_strPassword = std::move(parsed.password);
        site->m_nPort = parsed.port;
        m_siteList.AddTail(std::move(site));
        ++result.added;
    }
    result.listSaved = SaveSiteList();
    return result;
}
