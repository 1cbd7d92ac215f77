#include "model/SiteSecurity.h"

#include "model/Paths.h"
#include "model/Records.h"

std::string KnownHostsPath() {
    return GetAppDir() + "/known_hosts";
}

ConnectionSecurity SiteSecurity(const CFTPSite& site) {
    const CSiteSettings settings = site.GetSettings();
    ConnectionSecurity security;
    security.protocol = settings.m_protocol;
    security.tlsPin = settings.m_tlsPin;
    security.knownHostsPath = KnownHostsPath();
    return security;
}
