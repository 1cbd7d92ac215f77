#pragma once
// Where the data files live: site.ds in the program directory, each site's files in Data/KEY.

#include <string>

// The program directory, without a trailing separator. Set once at start-up.
void SetAppDir(const std::string& dir);
const std::string& GetAppDir();

// The directory that holds the executable at `exePath` (everything before the last '/').
std::string AppDirFromExecutable(const std::string& exePath);

// Data/.tmp: where a site's files are put together before they take the place of Data/KEY in
// one rename, and where a save killed part way leaves its directories.
inline constexpr const char* kSaveAreaName = ".tmp";

// True when `key` can be one directory name below Data: not empty, not "." or "..", not the save
// area, no '/' and no NUL byte. Any other key never becomes a path.
bool IsUsableSiteKey(const std::string& key);

std::string SiteListPath();                          // APPDIR/site.ds
std::string DataDirPath();                           // APPDIR/Data
std::string SiteDataDirPath(const std::string& key); // APPDIR/Data/KEY
