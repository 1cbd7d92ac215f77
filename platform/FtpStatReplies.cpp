#include "platform/FtpStatReplies.h"

#include "platform/FtpErrors.h"
#include "platform/FtpListing.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "ddd " or "ddd-" (or "ddd" alone): a line that opens or ends a reply.
bool ReadsAsReply(std::string_view line) {
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           (line.size() == 3 || line[3] == ' ' || line[3] == '-');
}

// The `ls -l` line of the directory itself or its parent, which the parser leaves out as no
// entry: read again with another name in their place.
bool IsDotLine(std::string_view line, bool& self) {
    std::string probe(line);
    FtpEntry entry;
    if (probe.size() > 3 && probe.compare(probe.size() - 3, 3, " ..") == 0) {
        probe.replace(probe.size() - 2, 2, "xx");
        self = false;
    } else if (probe.size() > 2 && probe.compare(probe.size() - 2, 2, " .") == 0) {
        probe.back() = 'x';
        self = true;
    } else {
        return false;
    }
    return ParseUnixListLine(probe, entry) && entry.isDir;
}

// "total 12", which `ls -l` puts first.
bool IsTotalLine(std::string_view line) {
    if (line.substr(0, 6) != "total ")
        return false;
    line.remove_prefix(6);
    if (line.empty())
        return false;
    for (char c : line)
        if (!IsDigit(c))
            return false;
    return true;
}

} // namespace

bool CStatReplyReader::Feed(std::string_view bytes) {
    if (!m_error.empty())
        return false;
    while (!bytes.empty()) {
        // A CR at the end of one piece may pair with an LF at the start of the next.
        size_t end = bytes.find('\n');
        const size_t take = end == std::string_view::npos ? bytes.size() : end + 1;
        if (m_partial.size() + take > m_maxLine + 2) {
            m_error = "A reply line is longer than " + std::to_string(m_maxLine) + " bytes";
            return false;
        }
        m_partial.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (end == std::string_view::npos)
            break;
        if (m_partial.size() < 2 || m_partial[m_partial.size() - 2] != '\r')
            continue; // an LF alone: part of the line
        std::string line;
        line.swap(m_partial);
        line.resize(line.size() - 2);
        if (!Line(line))
            return false;
    }
    return true;
}

bool CStatReplyReader::Line(std::string_view line) {
    if (!m_open) {
        if (!ReadsAsReply(line) || line.find_first_of("\r\n") != std::string_view::npos) {
            m_error = "The server's answer is no FTP reply";
            return false;
        }
        m_current = FtpStatListing();
        m_current.reply = ReplyCodeOf(line);
        if (line.size() > 3 && line[3] == '-') {
            m_open = true;
            return true;
        }
        m_current.text.assign(line);
        m_done.push_back(std::move(m_current));
        return true;
    }
    if (line.size() >= 4 && line[3] == ' ' && ReadsAsReply(line) && ReplyCodeOf(line) == m_current.reply) {
        m_open = false;
        m_current.text.assign(line);
        m_current.listing.truncated = IsTruncatedListingReply(line);
        m_done.push_back(std::move(m_current));
        return true;
    }
    Body(line);
    return true;
}

void CStatReplyReader::Body(std::string_view line) {
    FtpStatListing& r = m_current;
    if (r.unreadable || r.tooLarge)
        return; // what follows is not wanted; only the reply's end is looked for
    bool self = false;
    FtpEntry entry;
    if (line.find_first_of("\r\n") != std::string_view::npos || ReadsAsReply(line)) {
        r.unreadable = true;
    } else if (IsTotalLine(line)) {
        return;
    } else if (IsDotLine(line, self)) {
        r.showsDot = r.showsDot || self;
    } else if (ParseListLine(line, entry)) {
        r.dotNames = r.dotNames || entry.name.front() == '.';
        if (r.listing.entries.size() >= m_maxEntries) {
            r.tooLarge = true;
            r.listing.entries = std::vector<FtpEntry>();
            return;
        }
        r.listing.entries.push_back(std::move(entry));
    } else {
        r.unreadable = true;
    }
    if (r.unreadable)
        r.listing.entries = std::vector<FtpEntry>();
}

bool IsRestEcho(const FtpStatListing& reply, uint64_t nonce) {
    if (reply.reply != 350)
        return false;
    const std::string digits = std::to_string(nonce);
    const std::string& text = reply.text;
    for (size_t at = text.find(digits, 4); at != std::string::npos; at = text.find(digits, at + 1)) {
        const size_t after = at + digits.size();
        if (!IsDigit(text[at - 1]) && (after == text.size() || !IsDigit(text[after])))
            return true;
    }
    return false;
}
