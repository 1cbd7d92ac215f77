#pragma once
// One SFTP session that carries a whole update, behind the crawler's connection interface. SFTP
// has no current directory: every directory is listed by its path, and "changing" to one is
// listing it (the listing is kept for the List that follows), so a path the server refuses is
// found at the change, as on FTP.

#include "platform/FtpClient.h"

#include <atomic>
#include <memory>
#include <string>

// `knownHostsPath`: the OpenSSH-format file of trusted host keys. With an empty password the
// login offers the user's SSH agent and key (~/.ssh/id_ed25519, id_ecdsa or id_rsa); with one,
// the password too.
std::unique_ptr<IServerConnection> CreateSftpConnection(const std::string& knownHostsPath,
                                                        const std::atomic<bool>* stop = nullptr,
                                                        FtpLimits limits = {});
