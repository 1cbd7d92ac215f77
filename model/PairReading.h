#pragma once
// Reading a site's pair through one open Data/KEY, so that both files come from one save.

#include "model/FileError.h"

#include <optional>
#include <string>
#include <sys/stat.h>

class CFTPDir;

// Reads content.ct and/or state.st of the site `key` into `root` through one open Data/KEY, so
// that both come from one save. `catalogueStat` gets content.ct's stat; false when there was none.
// `stateStat` (with `stateBuffer` to hold it) gets state.st's, or null when there was none.
// `fault`, when given, gets the first thing that went wrong (the rest of that file is dropped).
bool ReadPairInto(const std::string& key, CFTPDir& root, bool catalogue, bool state,
                  struct stat* catalogueStat, const struct stat** stateStat = nullptr,
                  struct stat* stateBuffer = nullptr, std::optional<FileError>* fault = nullptr);
