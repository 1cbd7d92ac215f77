#pragma once
// site.ds: the list of sites, read once at start-up and rewritten in full after each change.
// The loader reports its outcome to the caller, which decides how to show it.

#include "model/FileError.h"
#include "model/ObList.h"
#include "model/Records.h"

#include <string>

struct SiteListLoadResult {
    enum Outcome {
        Ok,         // read completely, or the file was missing (now created empty) or empty
        BadFormat,  // damaged: message "Unexpected file format."
        OpenFailed, // any other failure while reading: message "Failed to open document."
        FileError   // the file could not be opened, or failed while reading: its own message
    };
    Outcome outcome = Ok;
    std::string message;   // empty for Ok
    bool modified = false; // the document counts as modified: reading started and then failed
    // For the log: the file and what went wrong (the system's error, or the fault and where it
    // was found). Empty for Ok.
    ::FileError cause;
};

// Appends the sites of the file at `path` to `list`. Sites read completely before a fault stay
// in the list; the fault is logged. A missing file is created empty (mode 0600) without any
// message. Temporary copies that killed saves left beside it are removed first. Under
// IsReadOnlyAccess() neither happens: a missing file reads as an empty list.
SiteListLoadResult LoadSiteList(const std::string& path, CObList<CFTPSite>& list);

class CDataArchive;

// The reading step on an archive already open (a file, or bytes in memory): appends the sites
// read to `list` and classifies a fault as LoadSiteList does. `size`, when known, is the
// archive's length, so that the cause can say at which byte reading stopped.
SiteListLoadResult ReadSiteList(CDataArchive& ar, CObList<CFTPSite>& list, uint64_t size = 0);

// Writes `list` to `path` (site.ds, or any file chosen with "save as"), replacing the old file all
// at once with one readable by its owner only. A failure names the file and the cause (errno is
// set too) and is logged; the old file is then as it was.
CResult<void> SaveSiteList(const std::string& path, const CObList<CFTPSite>& list);
