#pragma once
// Parsers for FTP directory listings: LIST replies in Unix `ls -l` style or Windows/IIS style,
// and MLSD replies (RFC 3659 facts). Pure functions over bytes; names are kept byte for byte.
//
// Every parser answers false for a line it does not understand (it never guesses) and for
// lines that are not entries of the directory: "total N", ".", "..", MLSD's cdir and pdir.
// Names that cannot be one path component are dropped too: empty names and names holding '/'
// or NUL. A CR or LF inside a name is kept: where a name ends is the line end's business.

#include "platform/FtpClient.h"

#include <string>
#include <string_view>
#include <vector>

// One line of a LIST reply, without its line end (a trailing CR is taken for the rest of one). Tries the Unix
// form, then the Windows form. Symbolic links are files: the server lists the link, not what
// it points to, and only the name before " -> " is kept.
bool ParseListLine(std::string_view line, FtpEntry& out);

// The two LIST forms on their own.
bool ParseUnixListLine(std::string_view line, FtpEntry& out);
bool ParseWindowsListLine(std::string_view line, FtpEntry& out);

// One line of an MLSD reply: "fact=value;fact=value; name". The facts end at the first "; ":
// values may hold spaces, '=' and ':' (type=OS.unix=slink:../a b.txt) and names anything.
// Fact names and the type value are compared without case; type "dir" is a directory, "file"
// and the OS-specific types (links, devices) are files; a line without a type is skipped. The
// "unique" fact becomes the entry's id.
bool ParseMlsdLine(std::string_view line, FtpEntry& out);

// A reply body parsed as it arrives, in pieces cut anywhere: each complete line is parsed at
// once and only an unfinished last line is kept, so a listing costs its entries, not its bytes.
// Lines end where the server ends them: at CRLF in a listing whose first line ends so, else at
// LF. A CR alone is part of a name; so is an LF in a CRLF listing. (An LF in a name from a server
// that ends its lines with LF alone cannot be told from a line end.)
class CListingParser {
public:
    // `rejoin`: the body comes from a reader that turned every CR into a line end (libcurl's ASCII
    // mode turns CRLF into LF and a CR alone into LF too). A line that is no entry after one that
    // is, is then taken for the rest of that entry's name after a CR, and counted in Joins(): the
    // caller checks the count against the CRs the reader turned into line ends.
    explicit CListingParser(bool mlsd, bool rejoin = false)
        : m_mlsd(mlsd), m_rejoin(rejoin), m_ending(rejoin ? LineEnd::Lf : LineEnd::Unknown) {}
    void Feed(std::string_view bytes);
    // The last line, when the body does not end with a line end.
    void Finish();
    size_t EntryCount() const { return m_entries.size(); }
    size_t Joins() const { return m_joins; }
    std::vector<FtpEntry> TakeEntries() { return std::move(m_entries); }
    // The "unique" fact of an MLSD cdir line (the listed directory itself), empty if none.
    const std::string& DirId() const { return m_dirId; }

private:
    void ParseLine(std::string_view line);
    void Take(std::string_view line);
    bool IsEntry(std::string_view line) const;

    enum class LineEnd { Unknown, CrLf, Lf };
    bool m_mlsd;
    bool m_rejoin;
    LineEnd m_ending;
    std::string m_pending; // rejoin: the last entry's line, until the next line shows it is whole
    bool m_hasPending = false;
    size_t m_joins = 0;
    std::string m_partial;
    std::vector<FtpEntry> m_entries;
    std::string m_dirId;
};

// A whole reply body, its lines ended as CListingParser reads them, in listed order. `dirId`, when given,
// receives the "unique" fact of an MLSD cdir line (the listed directory itself), or is cleared.
std::vector<FtpEntry> ParseListing(std::string_view body, bool mlsd, std::string* dirId = nullptr);

// True when the final reply to a listing says the server left entries out (pure-ftpd's
// "226 Output truncated to 10000 matches", also as the last line of a multi-line reply).
bool IsTruncatedListingReply(std::string_view reply);

// The OPTS MLST command that turns the "unique" fact on, for the MLST line of a FEAT reply
// (" MLST type*;size*;modify*;unique;") that offers it switched off; empty when none is needed.
std::string MlstOptsCommand(std::string_view featLine);
