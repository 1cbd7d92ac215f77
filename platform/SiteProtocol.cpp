#include "platform/SiteProtocol.h"

namespace {
struct ProtocolRow {
    SiteProtocol protocol;
    std::string_view name, scheme;
    int port;
};
constexpr ProtocolRow kProtocols[] = {
    {SiteProtocol::Ftp, "ftp", "ftp", 21},
    {SiteProtocol::FtpExplicitTls, "ftpes", "ftp", 21},
    {SiteProtocol::FtpImplicitTls, "ftps", "ftps", 990},
    {SiteProtocol::Sftp, "sftp", "sftp", 22},
};
const ProtocolRow& Row(SiteProtocol protocol) {
    for (const ProtocolRow& row : kProtocols)
        if (row.protocol == protocol)
            return row;
    return kProtocols[0];
}
} // namespace

std::string_view ProtocolName(SiteProtocol protocol) {
    return Row(protocol).name;
}

std::optional<SiteProtocol> ProtocolFromName(std::string_view name) {
    for (const ProtocolRow& row : kProtocols)
        if (row.name == name)
            return row.protocol;
    return std::nullopt;
}

int DefaultPort(SiteProtocol protocol) {
    return Row(protocol).port;
}

std::string_view UrlScheme(SiteProtocol protocol) {
    return Row(protocol).scheme;
}
