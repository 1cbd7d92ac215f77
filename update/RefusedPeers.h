#pragma once
// What the servers of secure sites presented that was refused for trust in this process's
// updates, by site key, until the window or the command line shows it to the user.

#include "platform/PeerTrust.h"

#include <optional>
#include <string>

void NoteRefusedPeer(const std::string& key, const PeerIdentity& presented);
// The last identity refused for `key`, taken out.
std::optional<PeerIdentity> TakeRefusedPeer(const std::string& key);
