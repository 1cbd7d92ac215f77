#pragma once
// One FTP control connection (passive mode) that carries a whole update: log in, change to an
// absolute directory, list it. libcurl behind it; an interface so the crawler can be driven by
// a fake in tests.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct FtpEntry {
    std::string name;   // bytes exactly as the server listed them
    bool isDir = false;
    uint64_t size = 0;  // 0 for directories
    std::string id;     // the server's identity of the entry (MLSD "unique"), empty if not given
};

// One listing of the current directory.
struct FtpDirListing {
    std::vector<FtpEntry> entries;
    std::string dirId;      // the listed directory's own identity (MLSD cdir line), empty if not given
    bool truncated = false; // the server said it left entries out
    std::string endReply;   // the server's final reply to the listing
};

enum class FtpStatus {
    Ok,
    Lost,     // the connection is gone (time-out, reset, closed, 421, data failure that closed it,
              // aborted by a stop): the walk must end; every later call fails with Lost too
    Refused,  // the server answered with an error reply (its text is in LastReply)
    Failed,   // any other failure
};

struct FtpResult {
    FtpStatus status = FtpStatus::Ok;
    int code = 0;       // the library's error code (CURLcode), 0 on success
    std::string text;   // a readable message for the failure, empty on success
    int reply = 0;      // the server's reply code to the failed command, 0 if it gave none
    int osError = 0;    // errno of a failed connect, 0 if none
    bool ok() const { return status == FtpStatus::Ok; }
};

struct FtpLimits {
    long connectTimeoutMs = 3000;  // connect
    long replyTimeoutS = 7;        // each control reply
    long stallTimeoutS = 7;        // a data transfer that moves nothing for this long
};

class IFtpConnection {
public:
    virtual ~IFtpConnection() = default;
    // Connects and logs in. The port is taken as its low 16 bits.
    virtual FtpResult Connect(const std::string& host, int32_t port, const std::string& user,
                              const std::string& password) = 0;
    // Changes to an absolute path ("/" or "/a/b"), its components as raw bytes.
    virtual FtpResult ChangeDir(const std::string& absPath) = 0;
    // Lists the current directory (MLSD when offered, else LIST); "." and ".." are left out.
    virtual FtpResult List(FtpDirListing& listing) = 0;
    // The entries alone.
    FtpResult List(std::vector<FtpEntry>& entries) {
        FtpDirListing listing;
        FtpResult result = List(listing);
        entries = std::move(listing.entries);
        return result;
    }
    // The server's last reply line(s), as received.
    virtual std::string LastReply() const = 0;
    virtual void Close() = 0;
};

// `stop`, when given, is polled about once a second during every blocked call; when it is set
// the call is aborted and reported as Lost.
std::unique_ptr<IFtpConnection> CreateFtpConnection(const std::atomic<bool>* stop = nullptr,
                                                    FtpLimits limits = {});
