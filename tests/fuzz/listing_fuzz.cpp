// Listing parsers on arbitrary server replies: the first byte picks MLSD (odd) or LIST (even).
#include "platform/FtpListing.h"

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
    for (const FtpEntry& entry : ParseListing(body, mlsd, &dirId)) {
        // What comes out must be usable as one path component.
        const std::string& name = entry.name;
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\r\n\0", 4)) != std::string::npos)
            std::abort();
        if (entry.isDir && entry.size != 0)
            std::abort();
        if (name.size() >= body.size() || entry.id.size() >= body.size())
            std::abort();
    }
    if (!dirId.empty() && (dirId.size() >= body.size() || !mlsd))
        std::abort();
    return 0;
}
