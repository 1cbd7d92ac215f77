#include "cli/CliText.h"

#include "cli/Command.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "platform/TextCodec.h"

#include <ostream>

std::string CliDisplay(const std::string& narrow) {
    // Each part by itself: a path may join a UTF-8 directory name and a GBK file name. No byte
    // of a GBK character is '/', so splitting first is safe.
    std::string shown;
    shown.reserve(narrow.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t slash = narrow.find('/', pos);
        const std::size_t end = slash == std::string::npos ? narrow.size() : slash;
        shown += NarrowToUtf8(std::string_view(narrow).substr(pos, end - pos));
        if (slash == std::string::npos)
            break;
        shown += '/';
        pos = slash + 1;
    }
    return shown;
}

std::string CliField(const std::string& utf8) {
    std::string field;
    field.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
        case '\t':
            field += "\\t";
            break;
        case '\n':
            field += "\\n";
            break;
        case '\r':
            field += "\\r";
            break;
        default:
            field += c;
        }
    }
    return field;
}

CFTPSite* CliFindSite(CQuarnelDoc& doc, const std::string& typedKey) {
    if (CFTPSite* site = doc.FindSiteByKey(typedKey))
        return site;
    if (CFTPSite* site = doc.FindSiteByKey(Utf8ToNarrow(typedKey)))
        return site;
    for (CFTPSite* site : doc.m_siteList)
        if (CliDisplay(site->GetKey()) == typedKey)
            return site;
    return nullptr;
}

void PrintEntry(std::ostream& out, const CFTPDir* dir) {
    out << "D\t" << dir->m_bNew << "\t0\t" << CliField(CliDisplay(GetLocation(dir))) << '\n';
}

void PrintEntry(std::ostream& out, const CFTPFile* file) {
    out << "F\t" << file->m_bNew << '\t' << file->m_nSize << '\t' << CliField(CliDisplay(GetLocation(file)))
        << '\n';
}

std::string TakeValue(const std::vector<std::string>& args, std::size_t& i) {
    if (i + 1 >= args.size())
        throw CliUsageError(args[i] + " needs a value");
    return args[++i];
}
