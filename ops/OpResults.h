#pragma once
// Outcomes the document's operations hand back to the front end, which shows any message
// (UTF-8, to be shown as it is) and updates its views.

#include "model/FileError.h"

#include <cstddef>
#include <string>

class CFTPSite;

enum class OpStatus {
    Done,    // the operation ran to its end
    Refused, // nothing changed; `message` says why (e.g. "站点已有！")
    Busy,    // a walk over the catalogue is running; nothing changed, try again after it
    Stopped, // a walk ended early through PumpPending(); what it did so far stays
};

struct SiteOpResult {
    OpStatus status = OpStatus::Done;
    CFTPSite* site = nullptr; // the site added or edited
    std::string message;      // empty when there is nothing to show
    bool listSaved = false;   // site.ds was written (the window says nothing when it was not)
    FileError settingsError;  // site.conf could not be written: its path and why (else no path)
};

struct ImportResult {
    OpStatus status = OpStatus::Done; // Refused when the file could not be opened
    std::size_t added = 0;            // sites appended at the end of the list
    std::string message;
    bool listSaved = false;  // site.ds was written
    std::size_t skipped = 0; // lines naming a site the list already had
    // Lines whose host cannot name a site, by their fault (CheckSiteHost), none of them added.
    std::size_t emptyHosts = 0;
    std::size_t badHosts = 0; // a blank or a control character in the host
    std::size_t longKeys = 0; // host and user too long for the site's directory name
};

struct SearchOutcome {
    OpStatus status = OpStatus::Done;
    std::string message; // the empty-result message, when the search ran to its end and found nothing
};

// How loading the site list went: `ok`, or the message to show ("Unexpected file format.",
// "Failed to open document." or the file error's text naming the file) and `detail`, the file and
// what went wrong ("PATH: unexpected end of archive at byte 40 of 52").
struct LoadOutcome {
    bool ok = true;
    std::string message;
    std::string detail;
    FileError cause; // the same as a value: the file, and the system's error or the damage
};
