#pragma once
// What a person sees of stored bytes. Site fields were typed by the user and stored as GB18030;
// names came from the server and are read by their site's decision (platform/NameCharset.h).
// Every view and the command line show text through these, so that one name reads the same
// everywhere, and search matches what is shown.

#include <string>
#include <string_view>

class CFTPSite;
class CFTPDir;
class CFTPFile;

// A site field (host, user, password, nickname, remark, key) as UTF-8.
std::string ShownField(std::string_view stored);
// A site's name in the tree: its nickname, else its key.
std::string ShownSiteName(const CFTPSite& site);

// A name of `site`'s server as UTF-8 (a null site reads each name by itself).
std::string ShownName(const CFTPSite* site, std::string_view name);
std::string ShownName(const CFTPDir* dir);
std::string ShownName(const CFTPFile* file);

// The readable URL of `path` ("/a/b", as stored) on `site` as UTF-8: the login, host and port as
// typed, each name as shown.
std::string ShownUrl(const CFTPSite& site, std::string_view path);
// Each "/"-separated name of a stored path as shown.
std::string ShownPath(const CFTPSite* site, std::string_view path);

// The location of an entry as UTF-8: "ftp://", the key as typed, "/", each name as shown.
std::string ShownLocation(const CFTPDir* dir);
std::string ShownLocation(const CFTPFile* file);
