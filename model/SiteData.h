#pragma once
// Removal and renaming of a site's data directory (Data/KEY under the program directory). A key
// that cannot be one directory name is refused, and nothing outside Data is ever touched.

#include <string>

// Deletes Data/KEY/state.st, Data/KEY/content.ct, what interrupted saves left (temporary files
// in the directory, their directories in Data/.tmp), and then the directory Data/KEY if it is
// empty. True when the directory is gone afterwards. A missing file is not an error.
bool DeleteSiteData(const std::string& key);

// Renames Data/OLDKEY to Data/NEWKEY. Fails (false) when the old directory does not exist or the
// new one already does; nothing is then changed.
bool RenameSiteData(const std::string& oldKey, const std::string& newKey);
