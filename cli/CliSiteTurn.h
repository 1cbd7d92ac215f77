#pragma once
// remove and a key-changing edit wait for another program's update of the site to end, so that
// its crawl neither saves after the change nor is lost by it; and they say why when they could
// not make the change.

#include <string>

struct CliContext;

// Lets the document wait for another program's update of a site (up to a minute), said on a
// terminal when the wait begins.
void CliWaitForOtherUpdates(CliContext& ctx);

// After a refused change of the site `key`: says on standard error which lock stopped it and
// returns true, or returns false when no lock did.
bool CliSayLockRefusal(CliContext& ctx, const std::string& key);
