#pragma once
// Listing one directory of a walk: with its path in the listing command where the server takes
// that, else by changing to it first; and what came of it, in the classes the walk acts on. A
// listing by path only saves a round trip: whatever it cannot settle (a refusal of any kind) is
// settled by changing to the directory and listing it there, as if it had not been asked. A
// refused change of directory keeps what is stored; a listing refused for good (5xx) counts as
// empty; one refused for now (4xx) keeps what is stored.
//
// Where the server lists over the control connection (STAT path), the walk's own lister asks for
// many directories at once: the one the walk needs and those it will need next, which the
// listings so far name (nearest in walk order first), so a tree costs about one round trip per
// level. A STAT listing is only taken where it must be what the ordinary listing shows: the
// server's first STAT listings are compared with ordinary ones, and so are the first listings
// of a kind the comparison has not yet covered (names beginning with ".", paths with blanks).
// Anything else in doubt (a refusal, a reply that does not read as `ls -l` lines, an empty reply
// where "." is due, a reply that may be the directory's own entry) is listed the ordinary way;
// after a few such doubts, or one reply out of step, every directory is.

#include "platform/FtpClient.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

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
    // `overControl`: list over the control connection where the server allows it (the walk's
    // own connection; helpers list one directory at a time and gain nothing from it).
    explicit CDirectoryLister(IServerConnection& connection, bool overControl = false)
        : m_connection(connection), m_statMode(overControl ? StatMode::Trying : StatMode::Off) {}

    // `stopRequested` is asked between the change of directory and the listing.
    DirListResult List(const std::string& absPath, const std::function<bool()>& stopRequested);

    // Whether this lister lists over the control connection, or is still trying whether it may:
    // false once it is given up (or the server never offered it).
    bool MayListOverControl() const {
        return m_statMode != StatMode::Off && m_connection.OffersStatListing();
    }
    // Directories listed over the control connection so far.
    uint64_t ListedOverControl() const { return m_nStatListed; }

    // Listings by path the server refused although the directory could be listed after changing
    // to it: from this many on, the connection changes directory first.
    static constexpr int kPathRefusalsToGiveUp = 3;
    // STAT listings compared with ordinary ones before STAT is trusted or given up.
    static constexpr int kStatTrials = 3;
    // Doubtful STAT replies after which the site is listed the ordinary way.
    static constexpr int kStatDoubtsToGiveUp = 8;
    // One batch of STATs: commands, and their bytes, which must fit the server's receive buffer
    // while it is busy answering (nothing is read before all are sent).
    static constexpr std::size_t kStatBatch = 256;
    static constexpr std::size_t kStatBatchBytes = 16384;
    // Listings received ahead of the walk and not yet taken, and their entries.
    static constexpr std::size_t kMaxHeldListings = 4096;
    static constexpr std::size_t kMaxHeldEntries = 1u << 19;

private:
    enum class StatMode { Off, Trying, On };
    enum class Evidence { Unknown, Same, Differ };
    // A directory's place in the order the walk asks for directories (depth first, children in
    // listing order).
    using Key = std::vector<uint32_t>;
    struct Held {
        std::string path;
        FtpStatListing reply;
    };

    DirListResult ListOrdinary(const std::string& absPath, const std::function<bool()>& stopRequested);
    DirListResult ListOverControl(const std::string& absPath, const std::function<bool()>& stopRequested);
    bool FetchOverControl(const std::string& absPath, const Key& key, FtpStatListing& reply);
    bool Doubtful(const std::string& absPath, const FtpStatListing& reply, bool& compare);
    void Compare(const std::string& absPath, const FtpStatListing& reply, const FtpDirListing& ordinary);
    void Doubt();
    void Want(const std::string& absPath, const Key& key, const std::vector<FtpEntry>& entries);
    void TurnStatOff();

    IServerConnection& m_connection;
    bool m_bByPath = true;
    int m_nPathRefusals = 0;

    StatMode m_statMode;
    int m_nTrials = 0;
    int m_nDoubts = 0;
    bool m_bShowsDot = false;                    // the server's STAT lists "." of every directory
    Evidence m_dotNames = Evidence::Unknown;     // STAT and LIST agree on names beginning with "."
    Evidence m_blanks = Evidence::Unknown;       // STAT takes a path with blanks as one path
    uint32_t m_nEpoch = 0x80000000u;             // keys of directories asked for out of the order
    std::unordered_map<std::string, Key> m_keys; // of the directories wanted or held
    std::map<Key, std::string> m_wanted;         // named by a listing, not yet asked for
    std::map<Key, Held> m_held;                  // received, not yet taken
    std::size_t m_nHeldEntries = 0;
    uint64_t m_nStatListed = 0;
};
