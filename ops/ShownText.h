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
// The two parts of a shown location: "ftp://", the key as typed, "/"; then the names below the
// site's root as shown, joined by "/". The second reads no field of the site a person can edit.
std::string ShownLocationPrefix(const CFTPSite* site);
std::string ShownLocationBelowRoot(const CFTPDir* dir);
std::string ShownLocationBelowRoot(const CFTPFile* file);

// UTF-8 text from a server (a reply in a status, a certificate's names, a name) as the window may
// show it: C0 and C1 controls and DEL become U+FFFD and a tab a blank, so that no escape sequence
// or backspace is passed on; bidirectional embeddings, overrides and isolates (U+202A..U+202E,
// U+2066..U+2069) are dropped, so that the text reads in the order it was sent. With
// `keepLineBreaks` a line feed stays (a carriage return before it goes).
std::string DisplaySafe(std::string_view utf8, bool keepLineBreaks = false);
