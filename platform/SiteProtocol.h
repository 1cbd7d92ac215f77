#pragma once
// How a site is reached: plain FTP, FTP with TLS asked for before the login (AUTH TLS), FTP with
// TLS from the connect on, or SFTP.

#include <optional>
#include <string>
#include <string_view>

enum class SiteProtocol { Ftp, FtpExplicitTls, FtpImplicitTls, Sftp };

// The names stored and typed: "ftp", "ftpes", "ftps", "sftp".
std::string_view ProtocolName(SiteProtocol protocol);
std::optional<SiteProtocol> ProtocolFromName(std::string_view name);
// 21, 21, 990, 22.
int DefaultPort(SiteProtocol protocol);
// The scheme of the site's URLs: "ftp" (explicit TLS is negotiated on the usual URL), "ftps",
// "sftp".
std::string_view UrlScheme(SiteProtocol protocol);
inline bool UsesTls(SiteProtocol protocol) {
    return protocol == SiteProtocol::FtpExplicitTls || protocol == SiteProtocol::FtpImplicitTls;
}

// What a connection needs beyond the login to reach a site securely.
struct ConnectionSecurity {
    SiteProtocol protocol = SiteProtocol::Ftp;
    std::string tlsPin;         // the certificate the user accepted for the site (ColonHex), or empty
    std::string knownHostsPath; // SFTP: the trusted host keys
};
