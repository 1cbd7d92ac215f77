#include "cli/CliText.h"

#include "cli/Command.h"
#include "model/FileError.h"
#include "model/SafeText.h"
#include "ops/Location.h"
#include "ops/QuarnelDoc.h"
#include "ops/ShownText.h"
#include "platform/TextCodec.h"

#include <ostream>

std::string CliShownPath(const CFTPSite* site, const std::string& narrow) {
    return ShownPath(site, narrow);
}

std::size_t CliPlainLength(std::string_view text) {
    return PlainTextLength(text);
}

void AppendCliField(std::string& field, std::string_view text) {
    AppendEscapedText(field, text);
}

std::string CliField(std::string_view text) {
    return EscapedText(text);
}

CFTPSite* CliFindSite(CQuarnelDoc& doc, const std::string& typedKey) {
    if (CFTPSite* site = doc.FindSiteByKey(typedKey))
        return site;
    if (CFTPSite* site = doc.FindSiteByKey(Utf8ToNarrow(typedKey)))
        return site;
    for (CFTPSite* site : doc.m_siteList)
        if (ShownField(site->GetKey()) == typedKey)
            return site;
    // A key copied from the output, where its control characters are escaped.
    for (CFTPSite* site : doc.m_siteList)
        if (CliField(ShownField(site->GetKey())) == typedKey)
            return site;
    return nullptr;
}

CFTPSite* CliSiteOrSay(CliContext& ctx, const std::string& typedKey) {
    CFTPSite* site = CliFindSite(ctx.doc, typedKey);
    if (!site)
        ctx.err << "quarnel-cli: no site has the key " << CliField(typedKey) << '\n';
    return site;
}

int ReportSiteListSaved(CliContext& ctx, bool listSaved) {
    if (listSaved)
        return kCliOk;
    const FileError& error = ctx.doc.m_lastListSaveError;
    ctx.err << "quarnel-cli: could not write " << (error.path.empty() ? "site.ds" : CliFileErrorText(error))
            << '\n';
    return kCliError;
}

int ReportSettingsSaved(CliContext& ctx, const FileError& error) {
    if (error.path.empty())
        return kCliOk;
    ctx.err << "quarnel-cli: could not write " << CliFileErrorText(error) << '\n';
    return kCliError;
}

std::string CliErrnoText(int error) {
    std::string text = ErrnoText(error);
    // The C library capitalises its texts as sentences; here they follow a "PATH: ".
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        (text.size() < 2 || !(text[1] >= 'A' && text[1] <= 'Z')))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string CliFileErrorText(const FileError& error) {
    if (error.errnoValue != 0)
        return CliField(error.path) + ": " + CliErrnoText(error.errnoValue);
    return CliField(error.path) + ": damaged file: " + CliField(error.message);
}
