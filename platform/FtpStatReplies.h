#pragma once
// Listings over the control connection: "STAT path" answers with the directory's `ls -l` lines
// inside a multi-line reply, so many directories can be asked for at once, with no data
// connection. The replies come back to back on one stream; this reads them.
//
// A name can hold CR LF and make a line that reads as the end of its reply, and then a whole
// reply of its own: a client that counts replies would take the rest for the next directory's
// listing. So a batch of STATs ends with "REST n" for a random n, which every server answers by
// repeating n: no name can say it in advance, and the batch is taken only when that answer
// comes exactly where it is due. Whatever else a reply holds that an `ls -l` line does not
// (a line that does not parse, a CR or LF alone, a line that reads as a reply) marks it
// unreadable, and the caller lists that directory the ordinary way.

#include "platform/FtpClient.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reads the replies of one batch from the bytes of the control connection, cut anywhere. Lines
// end at CRLF only: a CR or LF alone stays inside its line (and makes it unreadable).
class CStatReplyReader {
public:
    CStatReplyReader(size_t maxLine, size_t maxEntries) : m_maxLine(maxLine), m_maxEntries(maxEntries) {}
    // False when the stream is no FTP reply stream (a line that starts no reply, a line longer
    // than the bound): nothing more can be read from it.
    bool Feed(std::string_view bytes);
    // The replies completed so far, in order; Take() hands them over.
    size_t Count() const { return m_done.size(); }
    std::vector<FtpStatListing> Take() { return std::move(m_done); }
    const std::string& Error() const { return m_error; }
    // Nothing read past the last complete reply.
    bool Idle() const { return m_partial.empty() && !m_open; }

private:
    bool Line(std::string_view line);
    void Body(std::string_view line);

    size_t m_maxLine;
    size_t m_maxEntries;
    std::string m_partial;
    bool m_open = false; // inside a multi-line reply
    FtpStatListing m_current;
    std::vector<FtpStatListing> m_done;
    std::string m_error;
};

// True when `reply` is the answer to "REST <nonce>": code 350 and the number, whole, in its text.
bool IsRestEcho(const FtpStatListing& reply, uint64_t nonce);
