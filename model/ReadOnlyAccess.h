#pragma once
// A process that only reads the program directory (quarnel-cli's listing commands) says so before
// it loads anything. Loading then changes nothing on disk: a missing site.ds reads as an empty
// list instead of being created, no lock file is made for the load, and what killed saves left
// behind (site.ds.tmp-*, Data/.tmp) stays for the next program that writes.

void SetReadOnlyAccess(bool readOnly);
bool IsReadOnlyAccess();
