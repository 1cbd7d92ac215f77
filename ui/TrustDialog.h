#pragma once
// Asking the user whether to trust what a secure site's server presented: its certificate (a
// self-signed one, or one that changed since it was accepted) or its SSH host key. Trusting is a
// deliberate act: "信任" stays disabled until the box saying the fingerprint was checked is
// ticked, and it is never the default button, so Enter, whatever has the focus, only refuses.

#include "platform/PeerTrust.h"

#include <QMessageBox>
#include <QString>

#include <string>

class CFTPSite;
class QWidget;

// The question, built but not shown (for tests): the site's name, why the check failed, the
// fingerprint accepted before (for a changed identity, when one is known) beside the one shown
// now, the certificate's names and dates, the check box, and the buttons "信任" and "不信任"
// ("不信任" the default and the escape). Every text from the server is shown without controls.
void PrepareTrustQuestion(QMessageBox& box, const QString& siteName, const PeerIdentity& presented,
                          const QString& previousFingerprint = QString());

// Shows the question; true when the user chose "信任".
bool AskTrustPeer(QWidget* parent, const QString& siteName, const PeerIdentity& presented,
                  const QString& previousFingerprint = QString());

// The fingerprint of what was accepted for `site` before `presented` was refused: the pinned
// certificate, or the host key known_hosts holds for the site's host and port ("SHA256:..."). Empty
// when none is known.
std::string PreviousFingerprint(const CFTPSite& site, const PeerIdentity& presented);
