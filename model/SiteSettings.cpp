#include "model/SiteSettings.h"

#include "model/AtomicFile.h"
#include "model/Log.h"
#include "model/Paths.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kFileName = "site.conf";
constexpr const char* kDamagedSuffix = ".damaged";
constexpr std::size_t kMaxFileBytes = 64 * 1024; // settings are a few lines; more is not ours

constexpr const char* kEncodingName = "encoding";
constexpr const char* kServerUtf8Name = "server-utf8";
constexpr const char* kConnectionsName = "connections";
constexpr const char* kProtocolName = "protocol";
constexpr const char* kTlsPinName = "tls-pin";
constexpr const char* kMaxEntriesName = "max-entries";

// A whole number from 1 to 10^18, in decimal digits only.
bool ParseMaxEntries(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const uint64_t value = std::stoull(text);
    if (value == 0)
        return false;
    out = value;
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return text.substr(begin, end - begin);
}

bool HasControlByte(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return true;
    return false;
}

// Reads `path` when it is a regular file of at most kMaxFileBytes. Opened without blocking and
// without following a link, so that a FIFO or a device is looked at, never waited for. False with
// `why` empty when there is no file; false with `why` set when one is there but cannot be read.
bool ReadSmallFile(const std::string& path, std::string& content, std::string& why) {
    why.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // No directory, or Data/KEY not one: there is no file. Anything else may hide one.
        if (errno != ENOENT && errno != ENOTDIR)
            why = errno == ELOOP ? "a symbolic link, not a file" : ErrnoText(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0)
        why = ErrnoText(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (static_cast<std::size_t>(st.st_size) > kMaxFileBytes)
        why = "larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
    if (!why.empty()) {
        close(fd);
        return false;
    }
    content.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < content.size()) {
        const ssize_t n = read(fd, content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = ErrnoText(errno);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    close(fd);
    return why.empty();
}

// Data/KEY as a real directory (never a link), created when missing.
// False with errno set and `failed` naming the directory.
bool MakeSiteDir(const std::string& key, std::string& failed) {
    const std::string data = DataDirPath();
    failed = data;
    if (mkdir(data.c_str(), 0777) != 0 && errno != EEXIST)
        return false;
    const std::string dir = SiteDataDirPath(key);
    failed = dir;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

} // namespace

const char* EncodingChoiceName(NameEncodingChoice choice) {
    switch (choice) {
    case NameEncodingChoice::Utf8:
        return "utf8";
    case NameEncodingChoice::Gbk:
        return "gbk";
    case NameEncodingChoice::Auto:
        break;
    }
    return "auto";
}

bool ParseEncodingChoice(const std::string& text, NameEncodingChoice& out) {
    const std::string value = Lower(Trim(text));
    if (value == "auto")
        out = NameEncodingChoice::Auto;
    else if (value == "utf8" || value == "utf-8")
        out = NameEncodingChoice::Utf8;
    else if (value == "gbk" || value == "gb18030")
        out = NameEncodingChoice::Gbk;
    else
        return false;
    return true;
}

bool ParseSiteConnections(const std::string& text, int& out) {
    const std::string value = Trim(text);
    if (value.size() != 1 || value[0] < '1' || value[0] > '0' + kMaxSiteConnections)
        return false;
    out = value[0] - '0';
    return true;
}

std::string FormatSiteSettings(const CSiteSettings& settings) {
    std::string text = "# Quarnel site settings\n";
    text += std::string(kEncodingName) + "=" + EncodingChoiceName(settings.m_encoding) + "\n";
    if (settings.m_bServerUtf8)
        text += std::string(kServerUtf8Name) + "=yes\n";
    if (settings.m_nConnections != kDefaultSiteConnections)
        text += std::string(kConnectionsName) + "=" + std::to_string(settings.m_nConnections) + "\n";
    if (settings.m_protocol != SiteProtocol::Ftp)
        text += std::string(kProtocolName) + "=" + std::string(ProtocolName(settings.m_protocol)) + "\n";
    if (!settings.m_tlsPin.empty())
        text += std::string(kTlsPinName) + "=" + settings.m_tlsPin + "\n";
    if (settings.m_nMaxEntries != kDefaultSiteMaxEntries)
        text += std::string(kMaxEntriesName) + "=" + std::to_string(settings.m_nMaxEntries) + "\n";
    for (const auto& [name, value] : settings.m_otherLines)
        text += name + "=" + value + "\n";
    return text;
}

bool ParseSiteSettings(const std::string& text, CSiteSettings& out, std::string* why) {
    out = CSiteSettings{};
    std::string fault;
    if (text.size() > kMaxFileBytes) {
        if (why)
            *why = "larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
        return false;
    }
    CSiteSettings parsed;
    std::size_t pos = 0;
    for (std::size_t number = 1; pos < text.size(); ++number) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        // A bad line is left out and the rest read on: the good lines say what they say, and the
        // caller learns that something was lost.
        const std::size_t eq = line.find('=');
        if (HasControlByte(line) || eq == std::string::npos || eq == 0) {
            if (fault.empty())
                fault = "line " + std::to_string(number) +
                        (HasControlByte(line) ? " holds control bytes" : " is not name=value");
            continue;
        }
        const std::string name = Lower(Trim(line.substr(0, eq)));
        const std::string value = Trim(line.substr(eq + 1));
        if (name == kEncodingName) {
            // A value this version does not know falls back to the default.
            if (!ParseEncodingChoice(value, parsed.m_encoding))
                parsed.m_encoding = NameEncodingChoice::Auto;
        } else if (name == kServerUtf8Name) {
            parsed.m_bServerUtf8 = Lower(value) == "yes";
        } else if (name == kConnectionsName) {
            if (!ParseSiteConnections(value, parsed.m_nConnections))
                parsed.m_nConnections = kDefaultSiteConnections;
        } else if (name == kProtocolName && ProtocolFromName(Lower(value))) {
            parsed.m_protocol = *ProtocolFromName(Lower(value));
        } else if (name == kTlsPinName) {
            parsed.m_tlsPin = value;
        } else if (name == kMaxEntriesName) {
            if (!ParseMaxEntries(value, parsed.m_nMaxEntries))
                parsed.m_nMaxEntries = kDefaultSiteMaxEntries;
        } else {
            parsed.m_otherLines.emplace_back(name, value);
        }
    }
    out = std::move(parsed);
    if (why)
        *why = fault;
    return fault.empty();
}

bool CSiteSettings::HasUnknownProtocol() const {
    for (const auto& line : m_otherLines)
        if (line.first == kProtocolName)
            return true;
    return false;
}

void CSiteSettings::SetProtocol(SiteProtocol protocol) {
    std::erase_if(m_otherLines, [](const auto& line) { return line.first == kProtocolName; });
    m_protocol = protocol;
}

std::string SiteSettingsPath(const std::string& key) {
    return SiteDataDirPath(key) + "/" + kFileName;
}

CSiteSettings LoadSiteSettings(const std::string& key, bool* damaged) {
    if (damaged)
        *damaged = false;
    CSiteSettings settings;
    if (!IsUsableSiteKey(key))
        return settings;
    const std::string path = SiteSettingsPath(key);
    std::string text, why;
    if (ReadSmallFile(path, text, why))
        ParseSiteSettings(text, settings, &why);
    if (!why.empty()) {
        settings.m_strDamage = FileError::Damaged(path, why).Text();
        if (damaged)
            *damaged = true;
    }
    return settings;
}

CResult<void> SaveSiteSettings(const std::string& key, const CSiteSettings& settings) {
    const std::string path = SiteSettingsPath(key);
    auto failed = [&key](const std::string& where, int error) {
        FileError failure = FileError::FromErrno(where, error);
        LogError("site " + key + ": settings not saved: " + failure.Text());
        errno = error;
        return failure;
    };
    if (!IsUsableSiteKey(key))
        return failed(path, EINVAL);
    bool damaged = false;
    LoadSiteSettings(key, &damaged);
    if (damaged && rename(path.c_str(), (path + kDamagedSuffix).c_str()) != 0)
        return failed(path, errno);
    if (settings.IsDefault()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return failed(path, errno);
        // Leave no empty directory behind for a site that never had data.
        rmdir(SiteDataDirPath(key).c_str());
        return {};
    }
    std::string dir;
    if (!MakeSiteDir(key, dir))
        return failed(dir, errno);
    CAtomicFile file(path, 0666); // like the site's other data files: the umask decides
    if (!file.Open())
        return failed(path, errno);
    const std::string text = FormatSiteSettings(settings);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(file.Fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed(path, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (!file.Commit())
        return failed(path, errno);
    return {};
}
