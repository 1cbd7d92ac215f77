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

// 500 to 504: the server did not take the command as sent (unknown, bad syntax, an argument it
// does not implement); what it would say of the directory itself is still unknown.
bool RefusedTheCommandsForm(int reply) {
    return reply >= 500 && reply <= 504;
}

} // namespace

DirListResult CDirectoryLister::List(const std::string& absPath, const std::function<bool()>& stopRequested) {
    DirListResult out;
    bool listingRefused = false; // the server refused to list this directory
    bool formRefused = false;    // it refused a listing with a path
    if (m_bByPath && m_connection.CanListPath(absPath)) {
        out.result = m_connection.ListPath(absPath, out.listing);
        if (ClassOfListing(out.result, out.kind))
            return out;
        out.listing = FtpDirListing();
        // A refusal of the directory (450, 550) counts as empty if the directory can be entered,
        // as with a listing after the change of directory; a refusal of the command's form, or a
        // listing that may be of something else, is asked again after it.
        formRefused = RefusedTheCommandsForm(out.result.reply);
        listingRefused = out.result.reply >= 400 && !formRefused;
    }

    const FtpResult refusal = out.result;
    out.result = m_connection.ChangeDir(absPath);
    if (!out.result.ok()) {
        out.kind = out.result.status == FtpStatus::Lost ? DirListKind::Lost : DirListKind::EnterRefused;
        return out;
    }
    if (stopRequested()) {
        out.kind = DirListKind::Stopped;
        return out;
    }
    if (listingRefused) {
        out.kind = DirListKind::Empty;
        out.result = refusal;
        return out;
    }
    out.result = m_connection.List(out.listing);
    if (!ClassOfListing(out.result, out.kind)) {
        out.kind = DirListKind::Empty; // refused (450 and 550 alike) or failed
        out.listing = FtpDirListing();
    } else if (out.kind == DirListKind::Listed && formRefused && ++m_nPathRefusals >= kPathRefusalsToGiveUp) {
        m_bByPath = false; // the server will not take a path with its listings
    }
    return out;
}
