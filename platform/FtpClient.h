#pragma once
// One FTP control connection (passive mode) that carries a whole update: log in, change to an
// absolute directory, list it. libcurl behind it; an interface so the crawler can be driven by
// a fake in tests.

#include "platform/PeerTrust.h"
#include "platform/SiteProtocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct FtpEntry {
    std::string name; // bytes exactly as the server listed them
    bool isDir = false;
    uint64_t size = 0; // 0 for directories
    std::string id;    // the server's identity of the entry (MLSD "unique"), empty if not given
};

// One listing of the current directory.
struct FtpDirListing {
    std::vector<FtpEntry> entries;
    std::string dirId;      // the listed directory's own identity (MLSD cdir line), empty if not given
    bool truncated = false; // the server said it left entries out
    std::string endReply;   // the server's final reply to the listing
};

// One directory listed over the control connection (STAT path), as its reply was read.
struct FtpStatListing {
    int reply = 0;           // its code; 0 when the batch broke off before it
    bool unreadable = false; // a line that is no entry, a line break inside a line, a reply-like line
    bool showsDot = false;   // it listed "." (servers that list a directory's own entry)
    bool dotNames = false;   // an entry whose name begins with "." (LIST may hide those)
    bool tooLarge = false;   // more entries than the bound: the entries were dropped
    FtpDirListing listing;   // the entries, "." and ".." left out
    std::string text;        // the reply's last line
};

enum class FtpStatus {
    Ok,
    Lost,       // the connection is gone (time-out, reset, closed, 421, data failure that closed it,
                // aborted by a stop): the walk must end; every later call fails with Lost too
    Refused,    // the server answered with an error reply (its text is in LastReply)
    Failed,     // any other failure
    DataFailed, // a listing's data connection could not be opened or broke off (425, 426, cut
                // short) while the control connection lives: the listing is unknown, try later
    TooLarge,   // a listing given up at FtpLimits' line length or entry count, or for want of memory
    TooSlow,    // a listing given up at FtpLimits' deadline
    // After TooLarge and TooSlow the client has logged in again, so the walk can go on; if that
    // login failed, the next call reports Lost.
};

struct FtpResult {
    FtpStatus status = FtpStatus::Ok;
    int code = 0;     // the library's error code (CURLcode), 0 on success
    std::string text; // a readable message for the failure, empty on success
    int reply = 0;    // the server's reply code to the failed command, 0 if it gave none
    int osError = 0;  // errno of a failed connect, 0 if none
    bool ok() const { return status == FtpStatus::Ok; }
};

struct FtpLimits {
    long connectTimeoutMs = 3000; // connect
    long replyTimeoutS = 7;       // each control reply
    long stallTimeoutS = 7;       // a data transfer that moves nothing for this long
    // One whole listing, however it trickles: 100,000 entries (about 8 MB of `ls -l`) still
    // arrive at 14 KB/s; a server slower than that holds a worker for nothing.
    long listingTimeoutS = 600;
    // One line of a listing, in bytes: far above a real line (a name of kMaxFtpNameBytes, a link's
    // target of a whole path, every MLSD fact: a few KiB), while an unfinished line, all the
    // parser keeps of a listing's bytes, stays small. A name too long to store costs its line,
    // not the listing.
    size_t maxListingLineBytes = size_t(1) << 20;
    // One listing's entries: a listing is parsed as it streams, so what it holds is its entries,
    // about 170 bytes each while it is read, not its bytes (a million entries of `ls -l` are
    // 75 MB). Real directories of a few million fit; an endless listing stops here, at about
    // half a gigabyte, or at its deadline when its lines are no entries.
    size_t maxListingEntries = 3000000;
};

// Follows the lines of a listing as its bytes arrive: `tail` is the length of its unfinished
// last line, carried from one piece to the next. False as soon as a line passes `maxLine` bytes.
bool ListingLinesWithin(size_t& tail, std::string_view bytes, size_t maxLine);

// The longest name of one entry that is stored and sent, in bytes: above every file system's
// limit for one name (255 bytes on Linux, 255 UTF-16 units on NTFS: at most 765 bytes of
// UTF-8), so no real name is lost, while a listing cannot plant names of megabytes.
inline constexpr size_t kMaxFtpNameBytes = 1024;
// The longest absolute path a change of directory sends: "CWD " + path + CRLF fits the 4096
// bytes of a command line that vsftpd and IIS accept, and Linux's PATH_MAX. curl cannot send a
// command of 64 KiB at all and drops the connection.
inline constexpr size_t kMaxFtpPathBytes = 4090;

// One logged-in connection to a site's server, whatever its protocol: FTP and FTPS (libcurl)
// and SFTP (libssh) serve the crawler through it alike.
class IServerConnection {
public:
    virtual ~IServerConnection() = default;
    // Connects and logs in. The port is taken as its low 16 bits.
    virtual FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                              const std::string& password) = 0;
    // Changes to an absolute path ("/" or "/a/b"), its components as raw bytes. A path longer
    // than kMaxFtpPathBytes fails without being sent.
    virtual FtpResult ChangeDir(const std::string& absPath) = 0;
    // Lists the current directory (MLSD when offered, else LIST); "." and ".." are left out.
    // The listing is parsed as it arrives and given up at the limits of FtpLimits.
    virtual FtpResult List(FtpDirListing& listing) = 0;
    // Whether ListPath may be asked for this path: the server takes the path as one pathname,
    // unchanged (a command defined so, no byte curl refuses to send, nothing a server could take
    // for a pattern, short enough for one command line). The others are listed by changing to
    // them.
    virtual bool CanListPath(const std::string& absPath) const {
        (void)absPath;
        return false;
    }
    // Lists the directory at an absolute path without changing to it: one round trip less per
    // directory. Refused with the server's reply when it refused the listing (450 or 550 for the
    // directory, 500 to 504 for the command as sent). A refusal is no verdict on the directory:
    // the caller changes to it and lists it there.
    virtual FtpResult ListPath(const std::string& absPath, FtpDirListing& listing) {
        (void)absPath;
        listing = FtpDirListing();
        return {FtpStatus::Failed, 0, "Listing by path is not offered", 0, 0};
    }
    // The entries alone.
    FtpResult List(std::vector<FtpEntry>& entries) {
        FtpDirListing listing;
        FtpResult result = List(listing);
        entries = std::move(listing.entries);
        return result;
    }
    // Whether directories can be listed over the control connection, many at once (STAT path):
    // the server said it takes REST (whose answer keeps a batch's replies in step) and lists
    // with LIST, whose lines STAT shows too; and STAT has not failed on this connection.
    virtual bool OffersStatListing() const { return false; }
    // Whether `absPath` can go in one STAT command as it is: no byte curl or a server would take
    // for something else, nothing a server could take for a pattern, short enough.
    virtual bool CanStatPath(const std::string& absPath) const {
        (void)absPath;
        return false;
    }
    // Sends "STAT path" for each path, then reads the replies, one per path, in order. Ok with a
    // reply for each; anything else (the control connection for these lost, a batch out of
    // step, a stop) leaves `replies` empty and turns STAT off for the connection; the ordinary
    // listing goes on.
    virtual FtpResult StatPaths(const std::vector<std::string>& absPaths,
                                std::vector<FtpStatListing>& replies) {
        (void)absPaths;
        replies.clear();
        return {FtpStatus::Failed, 0, "Listings over the control connection are not offered", 0, 0};
    }
    // True when the server's FEAT reply listed UTF8 (RFC 2640).
    virtual bool OffersUtf8() const { return false; }
    // Asks the server for UTF-8 names from now on (OPTS UTF8 ON). Refused when the server says
    // no; Lost when the connection went.
    virtual FtpResult EnableUtf8() { return {FtpStatus::Refused, 0, "UTF8 not offered", 0, 0}; }
    // What a server that was not trusted presented (its certificate or host key), after a
    // Connect that failed for it; empty otherwise.
    virtual PeerIdentity RefusedPeer() const { return {}; }
    // The server's last reply line(s), as received.
    virtual std::string LastReply() const = 0;
    virtual void Close() = 0;
};

// `stop`, when given, is polled about once a second during every blocked call; when it is set
// the call is aborted and reported as Lost.
// `security` picks the protocol: FTP (with TLS when asked) or SFTP.
std::unique_ptr<IServerConnection> CreateFtpConnection(const std::atomic<bool>* stop = nullptr,
                                                       FtpLimits limits = {},
                                                       ConnectionSecurity security = {});
