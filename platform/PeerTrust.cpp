#include "platform/PeerTrust.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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

void CSshHostCheck::Apply(CURL* curl) {
    m_refused = {};
    curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, m_path.c_str());
    curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, &CSshHostCheck::OnKey);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, this);
}

int CSshHostCheck::OnKey(CURL*, const void*, const void* foundKey, int match, void* selfPtr) {
    auto* self = static_cast<CSshHostCheck*>(selfPtr);
    if (match == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    const auto* found = static_cast<const curl_khkey*>(foundKey);
    PeerIdentity& refused = self->m_refused;
    refused = {};
    refused.kind = PeerIdentity::Kind::HostKey;
    refused.changed = match == CURLKHMATCH_MISMATCH;
    refused.problem = refused.changed ? "the server's host key is not the one known for this site"
                                      : "the server's host key is not known";
    if (found && found->key && found->len > 0) {
        const auto* blob = reinterpret_cast<const unsigned char*>(found->key);
        unsigned char digest[32];
        if (Sha256(blob, found->len, digest))
            refused.fingerprint = "SHA256:" + Base64(digest, sizeof digest, false);
        refused.keyType = BlobKeyType(blob, found->len);
        refused.keyBase64 = Base64(blob, found->len, true);
    }
    return CURLKHSTAT_REJECT;
}

bool TrustHostKey(const std::string& knownHostsPath, const std::string& host, int port,
                  const std::string& keyType, const std::string& keyBase64) {
    if (keyType.empty() || keyBase64.empty() || host.empty() ||
        host.find_first_of(" \t\r\n,") != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    const std::string name = KnownHostsName(host, port);
    std::string kept;
    {
        std::ifstream in(knownHostsPath, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            // Any earlier key of this host goes; other hosts' lines stay as they are.
            std::istringstream fields(line);
            std::string hosts;
            fields >> hosts;
            bool ours = false;
            std::istringstream names(hosts);
            for (std::string one; std::getline(names, one, ',');)
                ours = ours || one == name;
            if (!ours)
                kept += line + "\n";
        }
    }
    kept += name + " " + keyType + " " + keyBase64 + "\n";
    const std::string temporary = knownHostsPath + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < kept.size()) {
        const ssize_t n = write(fd, kept.data() + done, kept.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            close(fd);
            unlink(temporary.c_str());
            errno = error;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), knownHostsPath.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}
