#pragma once
// Asking the user whether to trust what a secure site's server presented: its certificate (a
// self-signed one, or one that changed since it was accepted) or its SSH host key.

#include "platform/PeerTrust.h"

#include <QMessageBox>
#include <QString>

class QWidget;

// The question, built but not shown (for tests): the site's name, the fingerprint and the
// certificate's names and dates, and the buttons "信任" and "不信任" ("不信任" the default).
void PrepareTrustQuestion(QMessageBox& box, const QString& siteName, const PeerIdentity& presented);

// Shows the question; true when the user chose "信任".
bool AskTrustPeer(QWidget* parent, const QString& siteName, const PeerIdentity& presented);
