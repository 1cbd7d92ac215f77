#pragma once
// quarnel-cli update [--threads N] (--all | KEY...): runs the update engine on sites of the
// program directory, printing each site's status as it changes and the progress once a second.
// Ctrl-C, SIGTERM, SIGHUP and a failed write of the output (a reader that went away) stop the
// engine like the stop command and wait for the workers, so nothing merged is lost.

#include "cli/Command.h"

#include <string>
#include <vector>

// Exit status 0 when every site updated ended with code 2, else 1; throws CliUsageError.
int RunUpdateCommand(CliContext& ctx, const std::vector<std::string>& args);
