#pragma once
// Listing one directory of a walk: with its path in the listing command where the server takes
// that, else by changing to it first; and what came of it, in the classes the walk acts on. A
// listing by path only saves a round trip: whatever it cannot settle (a refusal of any kind) is
// settled by changing to the directory and listing it there, as if it had not been asked. A
// refused change of directory keeps what is stored; a listing refused for good (5xx) counts as
// empty; one refused for now (4xx) keeps what is stored.

#include "platform/FtpClient.h"

#include <functional>
#include <string>

enum class DirListKind {
    Listed,       // `listing` holds the directory's entries
    Empty,        // the listing was refused for good or failed: the directory counts as empty
    Busy,         // the listing was refused for now (450 and the like): what is stored stays
    EnterRefused, // the server would not change to the directory: what is stored stays
    Stopped,      // the stop came between the change of directory and the listing
    Lost,         // the connection is gone
    DataFailed,   // the data connection failed on a live control connection: nothing is known
    TooLarge,     // given up at the client's limits (the client has logged in again)
    TooSlow,
};

struct DirListResult {
    DirListKind kind = DirListKind::Listed;
    FtpResult result;      // of the call that decided the kind
    FtpDirListing listing; // the entries when Listed
};

// One connection as a walk lists with it. Not thread-safe: one thread uses it at a time.
class CDirectoryLister {
public:
    explicit CDirectoryLister(IFtpConnection& connection) : m_connection(connection) {}

    // `stopRequested` is asked between the change of directory and the listing.
    DirListResult List(const std::string& absPath, const std::function<bool()>& stopRequested);

    // Listings by path the server refused although the directory could be listed after changing
    // to it: from this many on, the connection changes directory first.
    static constexpr int kPathRefusalsToGiveUp = 3;

private:
    IFtpConnection& m_connection;
    bool m_bByPath = true;
    int m_nPathRefusals = 0;
};
