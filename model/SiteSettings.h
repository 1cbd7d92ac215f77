#pragma once
// Per-site settings that site.ds has no room for (its layout is fixed): Data/KEY/site.conf, a
// short UTF-8 text of "name=value" lines. The file is optional: a missing one gives the defaults.
// Names this version does not know are kept as they were written, so a newer version's settings
// survive an older one. A file that is there but cannot be read whole, or holds lines that are not
// "name=value", is damaged: its good lines are kept, and the settings say so (m_strDamage), since
// what was lost may have been the site's protocol or pin. Such a site is not updated.

#include "model/FileError.h"
#include "platform/SiteProtocol.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How the names of a site's server are read.
enum class NameEncodingChoice {
    Auto, // decided from the names themselves (and the server's UTF8 feature)
    Utf8,
    Gbk,
};

// Connections an update of one site may use at once: directories listed side by side.
inline constexpr int kDefaultSiteConnections = 1;
inline constexpr int kMaxSiteConnections = 4;
inline constexpr int ClampSiteConnections(int connections) {
    return connections < 1 ? 1 : connections > kMaxSiteConnections ? kMaxSiteConnections : connections;
}

// The most entries (directories and files) a site's stored tree may hold, so that a server that
// lists millions of made-up names cannot fill the memory and the disk: an update stops adding
// entries there. Ten million is several times the largest real archives; at about 110 bytes of
// memory and 26 bytes of content.ct an entry, about 1.1 GB and 260 MB.
inline constexpr uint64_t kDefaultSiteMaxEntries = 10000000;

struct CSiteSettings {
    NameEncodingChoice m_encoding = NameEncodingChoice::Auto;
    // The server offered UTF8 and was switched to UTF-8 names: the stored names are UTF-8.
    bool m_bServerUtf8 = false;
    // 1 to kMaxSiteConnections; a value outside that range in the file reads as the default.
    int m_nConnections = kDefaultSiteConnections;
    // How the site is reached; plain FTP unless chosen. A protocol this version does not know
    // stays among the other lines, and the site is not updated rather than reached in the clear
    // (HasUnknownProtocol); SetProtocol replaces it.
    SiteProtocol m_protocol = SiteProtocol::Ftp;
    // The certificate the user accepted for the site (its SHA-256 fingerprint, ColonHex), or empty.
    std::string m_tlsPin;
    // From 1 up; a value that is not a whole number above 0 reads as the default.
    uint64_t m_nMaxEntries = kDefaultSiteMaxEntries;
    // Lines of other versions ("name", "value"), written back unchanged.
    std::vector<std::pair<std::string, std::string>> m_otherLines;
    // Empty when the file was read whole (or there was none); else "PATH: why" for a file that
    // is damaged or unreadable. Not written: a save writes the good lines and keeps the damaged
    // file aside.
    std::string m_strDamage;

    bool IsDamaged() const { return !m_strDamage.empty(); }

    bool HasUnknownProtocol() const;
    void SetProtocol(SiteProtocol protocol);

    bool IsDefault() const {
        return m_encoding == NameEncodingChoice::Auto && !m_bServerUtf8 &&
               m_nConnections == kDefaultSiteConnections && m_protocol == SiteProtocol::Ftp &&
               m_tlsPin.empty() && m_nMaxEntries == kDefaultSiteMaxEntries && m_otherLines.empty();
    }
};

// "auto", "utf8", "gbk"; parsing accepts any case and "utf-8".
const char* EncodingChoiceName(NameEncodingChoice choice);
bool ParseEncodingChoice(const std::string& text, NameEncodingChoice& out);
// A decimal count from 1 to kMaxSiteConnections; false for anything else.
bool ParseSiteConnections(const std::string& text, int& out);

// The text of a settings file, and back. Parse returns false for a damaged text (a line that is
// not "name=value" or holds control bytes, too long): `out` then holds what the good lines say,
// and `why`, when given, the first fault ("line 3 is not name=value").
std::string FormatSiteSettings(const CSiteSettings& settings);
bool ParseSiteSettings(const std::string& text, CSiteSettings& out, std::string* why = nullptr);

// Reads the settings of the site with `key`: only a regular file of at most 64 KiB, opened without
// blocking (a FIFO or a device is damaged, not waited for). A file that is there but cannot be
// read, or is damaged, sets m_strDamage; `damaged`, when given, is set then too.
CSiteSettings LoadSiteSettings(const std::string& key, bool* damaged = nullptr);

// Writes them all at once (temporary file, fsync, rename), creating Data/KEY when needed; default
// settings remove the file instead, so a site that never had any keeps no file. A damaged file is
// moved aside to site.conf.damaged first rather than overwritten. A failure names the file and
// the cause and is logged; the old file is then as it was.
CResult<void> SaveSiteSettings(const std::string& key, const CSiteSettings& settings);

// The settings file of the site with `key` (APPDIR/Data/KEY/site.conf).
std::string SiteSettingsPath(const std::string& key);
