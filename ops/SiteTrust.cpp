#include "ops/SiteTrust.h"

#include "model/Records.h"
#include "model/SiteSecurity.h"
#include "platform/FtpClient.h"
#include "platform/TextCodec.h"

#include <cerrno>

PeerProbe ProbeSitePeer(const CFTPSite& site) {
    PeerProbe probe;
    // Damaged settings may have lost the protocol: no login that might go out in the clear.
    const CSiteSettings settings = site.GetSettings();
    if (settings.IsDamaged()) {
        probe.error = "settings damaged: " + settings.m_strDamage;
        return probe;
    }
    auto connection = CreateFtpConnection(nullptr, {}, SiteSecurity(site));
    const bool anonymous = site.m_bAnonymousUpdate != 0;
    const FtpResult login = connection->Connect(
        site.m_strHost, site.m_nPort, anonymous ? std::string(kAnonymousUser) : site.m_strUser,
        anonymous ? std::string(kAnonymousPassword) : site.m_strPassword);
    probe.presented = connection->RefusedPeer();
    connection->Close();
    probe.trusted = login.ok();
    if (!login.ok() && probe.presented.empty())
        probe.error = NarrowToUtf8(login.text);
    return probe;
}

CResult<void> TrustSitePeer(CFTPSite& site, const PeerIdentity& presented) {
    if (presented.kind == PeerIdentity::Kind::Certificate) {
        CSiteSettings settings = site.GetSettings();
        settings.m_tlsPin = presented.fingerprint;
        if (!site.SetSettings(settings))
            return FileError::FromErrno(SiteSettingsPath(site.GetKey()), errno);
        return {};
    }
    if (presented.kind == PeerIdentity::Kind::HostKey) {
        const int port = site.m_nPort > 0 && site.m_nPort <= 65535 ? site.m_nPort : 22;
        if (!TrustHostKey(KnownHostsPath(), site.m_strHost, port, presented.keyType, presented.keyBase64))
            return FileError::FromErrno(KnownHostsPath(), errno);
        return {};
    }
    return FileError::FromErrno(KnownHostsPath(), EINVAL);
}

std::string DescribePeer(const PeerIdentity& presented, bool chinese) {
    auto line = [chinese](const char* zh, const char* en, const std::string& value) {
        return value.empty() ? std::string() : std::string(chinese ? zh : en) + value + "\n";
    };
    std::string text = line("SHA-256指纹: ", "SHA-256 fingerprint: ", presented.fingerprint);
    if (presented.kind == PeerIdentity::Kind::Certificate) {
        text += line("主题: ", "subject: ", presented.subject);
        text += line("颁发者: ", "issuer: ", presented.issuer);
        text += line("生效: ", "valid from: ", presented.notBefore);
        text += line("过期: ", "valid until: ", presented.notAfter);
    } else {
        text += line("密钥类型: ", "key type: ", presented.keyType);
    }
    return text;
}
