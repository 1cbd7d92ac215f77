#pragma once
// quarnel-cli update [--threads N] (--all | KEY...): runs the update engine on sites of the
// program directory, printing each site's status as it changes; on a terminal, a progress line
// on standard error. Ctrl-C, SIGTERM, SIGHUP and an output nobody reads any more (a reader that
// went away) stop the engine like the stop command and wait for the workers, so nothing merged
// is lost; a second signal ends the process at once.

#include "cli/Command.h"

#include <string>
#include <vector>

// Exit status 0 when every site updated ended with code 2, 130 after Ctrl-C, 4 when a site was
// skipped as busy elsewhere, else 1; throws CliUsageError.
int RunUpdateCommand(CliContext& ctx, const CliArgs& args);
