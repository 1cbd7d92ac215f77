#pragma once
// How a site's connections are secured, from its settings and the program's known_hosts file.

#include "platform/SiteProtocol.h"

#include <string>

class CFTPSite;

// APPDIR/known_hosts: the SSH host keys the user trusted, in OpenSSH's format.
std::string KnownHostsPath();

ConnectionSecurity SiteSecurity(const CFTPSite& site);
