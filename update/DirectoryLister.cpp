#include "update/DirectoryLister.h"

namespace {

// The classes a listing's failure shares whichever way it was asked for; false for the others.
bool ClassOfListing(const FtpResult& result, DirListKind& kind) {
    switch (result.status) {
    case FtpStatus::Ok:
        kind = DirListKind::Listed;
        return true;
    case FtpStatus::Lost:
        kind = DirListKind::Lost;
        return true;
    case FtpStatus::DataFailed:
        kind = DirListKind::DataFailed;
        return true;
    case FtpStatus::TooLarge:
        kind = DirListKind::TooLarge;
        return true;
    case FtpStatus::TooSlow:
        kind = DirListKind::TooSlow;
        return true;
    default:
        return false;
    }
}

// A listing refused with a transient reply (4xx: 450 "file unavailable", 451 "local error"); the
// data connection's own 425 and 426 come as DataFailed, 421 as Lost.
bool RefusedForNow(const FtpResult& result) {
    return result.status == FtpStatus::Refused && result.reply >= 400 && result.reply < 500;
}

} // namespace

DirListResult CDirectoryLister::List(const std::string& absPath, const std::function<bool()>& stopRequested) {
    DirListResult out;
    bool askedByPath = false;
    if (m_bByPath && m_connection.CanListPath(absPath)) {
        out.result = m_connection.ListPath(absPath, out.listing);
        if (ClassOfListing(out.result, out.kind))
            return out; // kept even where a change to the directory would be refused
        out.listing = FtpDirListing();
        askedByPath = true;
    }

    out.result = m_connection.ChangeDir(absPath);
    if (!out.result.ok()) {
        out.kind = out.result.status == FtpStatus::Lost ? DirListKind::Lost : DirListKind::EnterRefused;
        return out;
    }
    if (stopRequested()) {
        out.kind = DirListKind::Stopped;
        return out;
    }
    out.result = m_connection.List(out.listing);
    if (!ClassOfListing(out.result, out.kind)) {
        out.kind = RefusedForNow(out.result) ? DirListKind::Busy : DirListKind::Empty;
        out.listing = FtpDirListing();
    } else if (out.kind == DirListKind::Listed && askedByPath && ++m_nPathRefusals >= kPathRefusalsToGiveUp) {
        m_bByPath = false; // refused by path, listed in place: the server will not take paths
    }
    return out;
}
