#pragma once
// Whom a secure connection talks to. A TLS server is trusted when its certificate verifies
// against the system's CA store and names the host, or when its certificate is the one the user
// accepted for the site (pinned by its SHA-256 fingerprint). An SSH server is trusted when its
// host key is in the program's known_hosts file. Nothing is accepted silently: what a refused
// server presented is kept, so the user can be shown it and asked.

#include <cstddef>
#include <string>
#include <vector>

typedef void CURL;

// What a server presented that was not trusted.
struct PeerIdentity {
    enum class Kind { None, Certificate, HostKey };
    Kind kind = Kind::None;
    // SHA-256 of the certificate's DER, "AB:CD:...:EF" (95 characters); of an SSH key's blob,
    // "SHA256:" and unpadded base64, as ssh-keygen -l prints it.
    std::string fingerprint;
    std::string subject, issuer;     // certificate names, one line each ("CN=ftp.example.org, O=...")
    std::string notBefore, notAfter; // certificate dates, "2026-12-07 15:00:00 UTC"
    std::string keyType, keyBase64;  // host key as known_hosts holds it ("ssh-ed25519", "AAAA...")
    std::string problem;             // why it was refused, in English, for logs and the CLI
    bool changed = false;            // differs from the pinned certificate or the known key
    bool empty() const { return kind == Kind::None; }
};

// "AB:CD:..." from raw bytes of a digest.
std::string ColonHex(const unsigned char* bytes, std::size_t size);
// Canonical form of a fingerprint as typed: upper case, colons between bytes; "SHA256:..." of SSH
// keys kept as it is. Empty when it is neither form.
std::string NormalizeFingerprint(const std::string& typed);

// The TLS check of one connection (control and data connections alike). Applied to a curl handle
// before it connects; the handshake itself refuses an unpinned certificate, so a password is
// never sent to a server that was not trusted.
//
// It fails closed. The pin is checked in OpenSSL's verification through libcurl, so it needs a
// libcurl on OpenSSL: with any other TLS library, or when libcurl refuses one of the options,
// Apply says so and the connection must not be made. And libcurl's own verification stays on
// with a pin: were the pin's callback never called, the CA store would still refuse a
// self-signed certificate.
class CTlsPeerCheck {
public:
    // `pin`: the accepted certificate's fingerprint (ColonHex), empty for the CA store alone.
    explicit CTlsPeerCheck(std::string pin = {}) : m_pin(std::move(pin)) {}
    // False when the check cannot be enforced on `curl`: do not connect.
    [[nodiscard]] bool Apply(CURL* curl);
    // After a handshake that went through: false when a pin was set but the certificate was not
    // seen to match it (the check did not run): the connection must be dropped.
    bool Enforced() const { return m_pin.empty() || m_pinMatched; }
    // After a failed connect: what the server presented, when the failure was trust. `curlCode`
    // is the connect's result.
    PeerIdentity Refused(int curlCode) const;

private:
    static int OnVerify(int preverified, void* storeCtx);
    static int OnSslCtx(CURL* curl, void* sslCtx, void* self);
    std::string m_pin;
    PeerIdentity m_leaf; // the server's own certificate, as the last handshake showed it
    bool m_pinMismatch = false;
    bool m_pinMatched = false;
};

// Whether this process's libcurl does its TLS with OpenSSL, which the certificate check needs.
bool CurlTlsIsOpenSsl();

// curl_easy_setopt for an option a connection's security rests on: false when libcurl refuses
// it (an option its TLS library lacks, an older version), and the connection must not be made.
bool SetSecurityOption(CURL* curl, int option, long value);
bool SetSecurityOption(CURL* curl, int option, const char* value);
bool SetSecurityOption(CURL* curl, int option, void* value);
// For tests: SetSecurityOption (and the TLS check) refuse `option` as a libcurl without it would;
// -1 for none.
void SimulateRefusedCurlOption(int option);

// The SSH host key check of one connection, against `knownHostsPath` (OpenSSH's format: plain,
// wildcard and hashed host names, "[host]:port" for other ports than 22, @revoked lines).
class CSshHostCheck {
public:
    explicit CSshHostCheck(std::string knownHostsPath) : m_path(std::move(knownHostsPath)) {}
    // Reads the file. Only a regular file of at most kMaxKnownHostsBytes is read, opened without
    // waiting: a FIFO or a device is refused at once. A missing file knows no host. False, with
    // the reason in Error(), when it cannot be read.
    bool Load();
    const std::string& Error() const { return m_error; }
    // The key types known for host:port ("ssh-ed25519", "ssh-rsa", ...), in the file's order: the
    // server is asked for one of these first.
    std::vector<std::string> KnownKeyTypes(const std::string& host, int port) const;
    // True when the server's public key, in base64 as known_hosts holds it, is known for
    // host:port. Otherwise Refused() tells what the server presented and why it was refused.
    bool Accept(const std::string& host, int port, const std::string& keyBase64);
    PeerIdentity Refused() const { return m_refused; }

private:
    std::string m_path;
    std::string m_content;
    std::string m_error;
    PeerIdentity m_refused;
};

// The largest known_hosts file that is read: some thousand keys.
inline constexpr std::size_t kMaxKnownHostsBytes = 4u << 20;

// Adds (or replaces) the host key of host:port in the known_hosts file, written atomically
// through a temporary file of its own while holding the lock file beside it, so that programs
// trusting keys at once keep every key. False with errno set when it could not be written (also
// when the present file is no regular file or too large: EINVAL, EFBIG).
bool TrustHostKey(const std::string& knownHostsPath, const std::string& host, int port,
                  const std::string& keyType, const std::string& keyBase64);
