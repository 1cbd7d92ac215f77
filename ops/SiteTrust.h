#pragma once
// Trusting a secure site's server: what it presents that is not trusted yet, and accepting it
// (a certificate pinned in the site's settings, an SSH host key added to known_hosts).

#include "model/FileError.h"
#include "platform/PeerTrust.h"

#include <string>

class CFTPSite;

struct PeerProbe {
    bool trusted = false;   // the connection and the login went through: nothing to accept
    PeerIdentity presented; // what the server showed that was refused, when that was the failure
    std::string error;      // why the connection failed otherwise (English)
};

// Connects to `site` as an update does (its protocol, its login), and says what its server
// presented if it was refused for trust. Nothing is sent before the server is trusted.
PeerProbe ProbeSitePeer(const CFTPSite& site);

// Accepts `presented` for `site` from now on. A certificate replaces the site's earlier pin; a
// host key replaces the earlier key of the site's host and port.
CResult<void> TrustSitePeer(CFTPSite& site, const PeerIdentity& presented);

// The identity as lines for a person to compare: fingerprint, then subject, issuer and dates of
// a certificate or the type of a key. `chinese`: the window's labels, else English.
std::string DescribePeer(const PeerIdentity& presented, bool chinese);
