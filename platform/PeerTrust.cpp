#include "platform/PeerTrust.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Where an SSL_CTX keeps its CTlsPeerCheck.
int CheckIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string NameLine(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data ? data : "", size > 0 ? static_cast<std::size_t>(size) : 0);
    BIO_free(bio);
    return text;
}

std::string TimeLine(const ASN1_TIME* time) {
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string Base64(const unsigned char* bytes, std::size_t size, bool pad) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(size));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!pad && !out.empty() && out.back() == '=')
        out.pop_back();
    return out;
}

bool Sha256(const unsigned char* bytes, std::size_t size, unsigned char (&digest)[32]) {
    unsigned int length = 0;
    return EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr) == 1 && length == 32;
}

// An SSH key blob begins with its type: a 32-bit big-endian length and the name.
std::string BlobKeyType(const unsigned char* blob, std::size_t size) {
    if (size < 4)
        return {};
    const std::size_t length = (std::size_t(blob[0]) << 24) | (std::size_t(blob[1]) << 16) |
                               (std::size_t(blob[2]) << 8) | std::size_t(blob[3]);
    if (length == 0 || length > 64 || 4 + length > size)
        return {};
    std::string type(reinterpret_cast<const char*>(blob) + 4, length);
    for (const char c : type)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '@' && c != '.')
            return {};
    return type;
}

std::string KnownHostsName(const std::string& host, int port) {
    return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

} // namespace

std::string ColonHex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string NormalizeFingerprint(const std::string& typed) {
    if (typed.rfind("SHA256:", 0) == 0)
        return typed.size() > 7 ? typed : std::string();
    std::string hex;
    for (const char c : typed) {
        if (c == ':' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64)
        return {};
    std::string text;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i)
            text += ':';
        text += hex.substr(i, 2);
    }
    return text;
}

namespace {

std::atomic<int> g_refusedOption{-1};

template <class T> bool SetOption(CURL* curl, int option, T value) {
    if (option == g_refusedOption.load(std::memory_order_relaxed))
        return false;
    return curl_easy_setopt(curl, static_cast<CURLoption>(option), value) == CURLE_OK;
}

} // namespace

bool CurlTlsIsOpenSsl() {
    // "OpenSSL/3.0.15"; a libcurl built for several TLS libraries names the one in use first.
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info && info->ssl_version && std::strncmp(info->ssl_version, "OpenSSL/", 8) == 0;
}

bool SetSecurityOption(CURL* curl, int option, long value) {
    return SetOption(curl, option, value);
}

bool SetSecurityOption(CURL* curl, int option, const char* value) {
    return SetOption(curl, option, value);
}

bool SetSecurityOption(CURL* curl, int option, void* value) {
    return SetOption(curl, option, value);
}

void SimulateRefusedCurlOption(int option) {
    g_refusedOption.store(option, std::memory_order_relaxed);
}

bool CTlsPeerCheck::Apply(CURL* curl) {
    m_leaf = {};
    m_pinMismatch = false;
    m_pinMatched = false;
    // The callbacks below are OpenSSL's; another TLS library's context must never reach them.
    if (!CurlTlsIsOpenSsl())
        return false;
    // Pinned: the certificate the user accepted is the whole check, names and dates included
    // (it is often self-signed for a bare address), so the host name is not checked; OnVerify
    // accepts the chain of the pinned certificate, and libcurl's verification stays on behind it.
    // Otherwise the CA store and the host name.
    return SetOption(curl, CURLOPT_SSL_VERIFYPEER, 1L) &&
           SetOption(curl, CURLOPT_SSL_VERIFYHOST, m_pin.empty() ? 2L : 0L) &&
           SetOption(curl, CURLOPT_SSL_CTX_FUNCTION, &CTlsPeerCheck::OnSslCtx) &&
           SetOption(curl, CURLOPT_SSL_CTX_DATA, static_cast<void*>(this));
}

int CTlsPeerCheck::OnSslCtx(CURL*, void* sslCtx, void* self) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
    if (SSL_CTX_set_ex_data(ctx, CheckIndex(), self) != 1)
        return CURLE_SSL_CERTPROBLEM; // the check could not be put in place: no handshake
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int preverified, X509_STORE_CTX* store) {
        return CTlsPeerCheck::OnVerify(preverified, store);
    });
    return CURLE_OK;
}

int CTlsPeerCheck::OnVerify(int, void* storeCtx) {
    X509_STORE_CTX* store = static_cast<X509_STORE_CTX*>(storeCtx);
    const SSL* ssl =
        static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self =
        ssl ? static_cast<CTlsPeerCheck*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), CheckIndex())) : nullptr;
    if (!self)
        return 0;
    // The chain above the server's own certificate: without a pin, OpenSSL's verdict stays in the
    // handshake's result, which curl checks before a command is sent (the handshake goes on, so
    // that the server's certificate can be shown); with one, the chain does not matter, and the
    // server's certificate, checked last, decides.
    if (X509_STORE_CTX_get_error_depth(store) != 0) {
        if (!self->m_pin.empty())
            X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    unsigned char digest[32];
    unsigned int length = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1 || length != 32)
        return 0;
    PeerIdentity& leaf = self->m_leaf;
    leaf.kind = PeerIdentity::Kind::Certificate;
    leaf.fingerprint = ColonHex(digest, length);
    leaf.subject = NameLine(X509_get_subject_name(cert));
    leaf.issuer = NameLine(X509_get_issuer_name(cert));
    leaf.notBefore = TimeLine(X509_get0_notBefore(cert));
    leaf.notAfter = TimeLine(X509_get0_notAfter(cert));
    if (self->m_pin.empty())
        return 1;
    if (leaf.fingerprint != self->m_pin) {
        self->m_pinMismatch = true;
        return 0; // the handshake ends here: nothing is sent to this server
    }
    self->m_pinMatched = true;
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

PeerIdentity CTlsPeerCheck::Refused(int curlCode) const {
    if (m_leaf.empty())
        return {};
    PeerIdentity refused = m_leaf;
    if (m_pinMismatch) {
        refused.changed = true;
        refused.problem = "the server's certificate is not the one accepted for this site";
        return refused;
    }
    if (curlCode != CURLE_PEER_FAILED_VERIFICATION)
        return {};
    refused.problem = "the server's certificate could not be verified";
    return refused;
}

namespace {

// Reads the whole of a regular file of at most `limit` bytes into `content`. Opened without
// waiting (a FIFO without a writer would hold the open), and checked before anything is read (a
// FIFO or /dev/zero would never end). 0, or why not: an errno, EINVAL for a file that is no
// regular file, EFBIG for one too large.
int ReadRegularFile(const std::string& path, std::size_t limit, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (static_cast<std::uintmax_t>(st.st_size) > limit)
        error = EFBIG;
    char buffer[65536];
    while (error == 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > limit)
            error = EFBIG; // it grew while being read
    }
    close(fd);
    if (error)
        content.clear();
    return error;
}

std::string_view NextField(std::string_view& line) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t start = 0;
    while (start < line.size() && blank(line[start]))
        ++start;
    std::size_t end = start;
    while (end < line.size() && !blank(line[end]))
        ++end;
    const std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxKnownHostsBytes)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    std::size_t size = static_cast<std::size_t>(n);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i)
        --size; // padding decodes to zero bytes that are not part of the data
    out.resize(size);
    return out;
}

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// A host name pattern of known_hosts: "*" any run of characters, "?" any one, case ignored.
bool GlobMatch(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// "|1|salt|hash": the HMAC-SHA1 of the name under the salt, both in base64.
bool HashedHostMatches(std::string_view field, const std::string& name) {
    field.remove_prefix(3);
    const std::size_t bar = field.find('|');
    if (bar == std::string_view::npos)
        return false;
    const auto salt = Base64Decode(field.substr(0, bar));
    const auto hash = Base64Decode(field.substr(bar + 1));
    if (!salt || !hash || hash->size() != 20)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha1(), salt->data(), static_cast<int>(salt->size()),
              reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest, &length))
        return false;
    return length == hash->size() && std::memcmp(digest, hash->data(), length) == 0;
}

// Whether the host field of a line names `name`: a hashed name, or patterns separated by commas
// of which one matches and no negated one ("!pattern") does.
bool HostFieldMatches(std::string_view field, const std::string& name) {
    if (field.rfind("|1|", 0) == 0)
        return HashedHostMatches(field, name);
    bool matched = false;
    while (!field.empty()) {
        const std::size_t comma = field.find(',');
        std::string_view pattern = field.substr(0, comma);
        field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
        const bool negated = !pattern.empty() && pattern.front() == '!';
        if (negated)
            pattern.remove_prefix(1);
        if (!pattern.empty() && GlobMatch(pattern, name)) {
            if (negated)
                return false;
            matched = true;
        }
    }
    return matched;
}

struct KnownKey {
    bool revoked = false;
    std::string_view type, base64;
};

// Calls `use` with each key that a line of `content` holds for `name`. Certificate authorities
// are not used: no line of theirs makes a key known.
template <typename Use> void ForEachKnownKey(std::string_view content, const std::string& name, Use use) {
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        KnownKey key;
        std::string_view hosts = NextField(line);
        if (hosts.empty() || hosts.front() == '#')
            continue;
        if (hosts.front() == '@') {
            if (hosts != "@revoked")
                continue;
            key.revoked = true;
            hosts = NextField(line);
        }
        if (!HostFieldMatches(hosts, name))
            continue;
        key.type = NextField(line);
        key.base64 = NextField(line);
        if (!key.base64.empty())
            use(key);
    }
}

// What known_hosts calls host:port, lower case as OpenSSH looks it up.
std::string KnownHostsLookupName(const std::string& host, int port) {
    std::string name = KnownHostsName(host, port);
    for (char& c : name)
        c = Lower(c);
    return name;
}

// Flushes the directory holding `path`, so that a rename into it is on the disk.
void SyncParentDir(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Six random letters or digits, for a temporary file of its own.
std::string RandomSuffix() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(0, 35);
    std::string suffix(6, 'x');
    for (char& c : suffix)
        c = letters[pick(random)];
    return suffix;
}

// Waits for the exclusive flock of `fd`: the other holder is a program writing the same small
// file, done in moments.
bool LockWithin(int fd, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool CSshHostCheck::Load() {
    m_error.clear();
    const int error = ReadRegularFile(m_path, kMaxKnownHostsBytes, m_content);
    if (error == 0 || error == ENOENT)
        return true;
    m_error = "The known hosts file " + m_path + " cannot be read: " +
              (error == EINVAL  ? std::string("it is not a regular file")
               : error == EFBIG ? "it is larger than " + std::to_string(kMaxKnownHostsBytes >> 20) + " MiB"
                                : std::string(std::strerror(error)));
    return false;
}

std::vector<std::string> CSshHostCheck::KnownKeyTypes(const std::string& host, int port) const {
    std::vector<std::string> types;
    ForEachKnownKey(m_content, KnownHostsLookupName(host, port), [&](const KnownKey& key) {
        if (!key.revoked && std::find(types.begin(), types.end(), key.type) == types.end())
            types.emplace_back(key.type);
    });
    return types;
}

bool CSshHostCheck::Accept(const std::string& host, int port, const std::string& keyBase64) {
    m_refused = {};
    const std::string blob = Base64Decode(keyBase64).value_or(std::string());
    const auto* bytes = reinterpret_cast<const unsigned char*>(blob.data());
    const std::string type = BlobKeyType(bytes, blob.size());
    bool known = false, revoked = false, otherOfType = false;
    ForEachKnownKey(m_content, KnownHostsLookupName(host, port), [&](const KnownKey& key) {
        const auto listed = Base64Decode(key.base64);
        if (!listed)
            return; // a damaged line knows no key
        const bool same = *listed == blob;
        if (key.revoked)
            revoked = revoked || same;
        else if (same)
            known = true;
        else if (key.type == type)
            otherOfType = true;
    });
    if (known && !revoked)
        return true;
    PeerIdentity& refused = m_refused;
    refused.kind = PeerIdentity::Kind::HostKey;
    // A key of another type than the known ones is unknown, not changed: the server may have
    // several, and offered one the file does not hold.
    refused.changed = !revoked && otherOfType;
    refused.problem = revoked           ? "the server's host key has been revoked"
                      : refused.changed ? "the server's host key is not the one known for this site"
                                        : "the server's host key is not known";
    unsigned char digest[32];
    if (!blob.empty() && Sha256(bytes, blob.size(), digest))
        refused.fingerprint = "SHA256:" + Base64(digest, sizeof digest, false);
    refused.keyType = type;
    refused.keyBase64 = Base64(bytes, blob.size(), true);
    return false;
}

bool TrustHostKey(const std::string& knownHostsPath, const std::string& host, int port,
                  const std::string& keyType, const std::string& keyBase64) {
    if (keyType.empty() || keyBase64.empty() || host.empty() || knownHostsPath.empty() ||
        host.find_first_of(" \t\r\n,") != std::string::npos ||
        (keyType + keyBase64).find_first_of(" \t\r\n") != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    // The lock file stays beside the data: the file itself is replaced by a rename, and a lock on
    // a file that a rename replaces protects nothing.
    const std::string lockPath = knownHostsPath + ".lock";
    const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (lockFd < 0)
        return false;
    const auto fail = [lockFd](int error) {
        close(lockFd);
        errno = error;
        return false;
    };
    if (!LockWithin(lockFd, std::chrono::seconds(30)))
        return fail(errno);

    std::string present;
    if (const int error = ReadRegularFile(knownHostsPath, kMaxKnownHostsBytes, present);
        error && error != ENOENT)
        return fail(error);
    const std::string name = KnownHostsName(host, port);
    std::string kept;
    std::string_view rest = present;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // Any earlier key of this host goes; other hosts' lines stay as they are.
        std::string_view fields = line;
        std::string_view hosts = NextField(fields);
        bool ours = false;
        while (!hosts.empty() && !ours) {
            const std::size_t comma = hosts.find(',');
            ours = hosts.substr(0, comma) == name;
            hosts = comma == std::string_view::npos ? std::string_view() : hosts.substr(comma + 1);
        }
        if (!ours) {
            kept += line;
            kept += '\n';
        }
    }
    kept += name + " " + keyType + " " + keyBase64 + "\n";

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = knownHostsPath + ".tmp-" + RandomSuffix();
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno != EEXIST)
            return fail(errno);
    }
    if (fd < 0)
        return fail(EEXIST);
    const bool written = WriteAll(fd, kept) && fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && rename(temporary.c_str(), knownHostsPath.c_str()) != 0)
        error = errno;
    if (error) {
        unlink(temporary.c_str());
        return fail(error);
    }
    SyncParentDir(knownHostsPath);
    close(lockFd);
    return true;
}
