// Listing parsers on arbitrary server replies: the first byte picks MLSD (odd) or LIST (even).
#include "platform/FtpListing.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool mlsd = (data[0] & 1) != 0;
    std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string dirId;
    (void)IsTruncatedListingReply(body);
    (void)MlstOptsCommand(body);
    const std::vector<FtpEntry> entries = ParseListing(body, mlsd, &dirId);
    for (const FtpEntry& entry : entries) {
        // What comes out must be usable as one path component (a CR or LF inside is the name's).
        const std::string& name = entry.name;
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            std::abort();
        if (entry.isDir && entry.size != 0)
            std::abort();
        if (name.size() >= body.size() || entry.id.size() >= body.size())
            std::abort();
    }
    if (!dirId.empty() && (dirId.size() >= body.size() || !mlsd))
        std::abort();
    // Cut in two anywhere, the body gives the same entries; read as from a reader that turned
    // every CR into a line end, it gives no more entries than it has lines.
    const size_t cut = body.empty() ? 0 : data[0] % body.size();
    for (bool rejoin : {false, true}) {
        CListingParser parser(mlsd, rejoin);
        parser.Feed(body.substr(0, cut));
        parser.Feed(body.substr(cut));
        parser.Finish();
        const std::vector<FtpEntry> pieces = parser.TakeEntries();
        if (!rejoin && pieces.size() != entries.size())
            std::abort();
        if (!rejoin)
            for (size_t i = 0; i < pieces.size(); ++i)
                if (pieces[i].name != entries[i].name || pieces[i].size != entries[i].size)
                    std::abort();
        if (rejoin && pieces.size() + parser.Joins() >
                          1 + static_cast<size_t>(std::count(body.begin(), body.end(), '\n')))
            std::abort();
    }
    return 0;
}
