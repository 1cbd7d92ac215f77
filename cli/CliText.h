#pragma once
// Output and look-up helpers the commands share.

#include <iosfwd>
#include <string>
#include <vector>

class CQuarnelDoc;
class CFTPSite;
class CFTPDir;
class CFTPFile;

// A field on one line: tab, line feed and carriage return written as \t, \n, \r.
std::string CliField(const std::string& utf8);

// The site a key typed on the command line names: the key as given, its narrow form, or a
// site whose key reads the same when shown. Null when there is none.
CFTPSite* CliFindSite(CQuarnelDoc& doc, const std::string& typedKey);

// "D|F <tab> new <tab> size <tab> location" for one entry.
void PrintEntry(std::ostream& out, const CFTPDir* dir);
void PrintEntry(std::ostream& out, const CFTPFile* file);

// The value of an option that takes one ("--host H"); throws CliUsageError when it is missing.
std::string TakeValue(const std::vector<std::string>& args, std::size_t& i);
