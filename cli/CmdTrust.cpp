// quarnel-cli trust KEY [--yes --fingerprint FP]: accept the certificate or host key a secure
// site's server presents.
#include "cli/CliText.h"
#include "cli/Command.h"
#include "model/SiteSecurity.h"
#include "ops/QuarnelDoc.h"
#include "ops/SiteTrust.h"

#include <iostream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

int RunTrust(CliContext& ctx, const CliArgs& args) {
    if (args.operands.size() > 1)
        throw CliUsageError("unexpected argument " + args.operands[1]);
    const std::string key = args.operands.empty() ? std::string() : args.operands.front();
    std::string expected;
    if (const std::string* fingerprint = args.Last("fingerprint")) {
        expected = NormalizeFingerprint(*fingerprint);
        if (expected.empty())
            throw CliUsageError("not a SHA-256 fingerprint: " + *fingerprint);
    }
    const bool yes = args.Has("yes");
    if (key.empty())
        throw CliUsageError("trust takes a site key");
    // Accepting without looking is only for a script that already knows what it accepts.
    if (yes && expected.empty())
        throw CliUsageError("--yes needs --fingerprint, the fingerprint expected");

    CFTPSite* site = CliFindSite(ctx.doc, key);
    if (!site) {
        ctx.err << "quarnel-cli: no site has the key " << CliField(key) << '\n';
        return kCliError;
    }
    if (SiteSecurity(*site).protocol == SiteProtocol::Ftp) {
        ctx.err << "quarnel-cli: " << CliField(key) << " is a plain FTP site: there is nothing to trust\n";
        return kCliError;
    }
    const PeerProbe probe = ProbeSitePeer(*site);
    if (probe.trusted) {
        ctx.out << "trusted\n";
        return kCliOk;
    }
    if (probe.presented.empty()) {
        ctx.err << "quarnel-cli: " << CliField(key) << ": " << CliField(probe.error) << '\n';
        return kCliError;
    }
    const PeerIdentity& shown = probe.presented;
    // One record a line: the reason, then the fingerprint and what else identifies the server.
    ctx.out << CliField(shown.problem) << '\n';
    const std::string described = DescribePeer(shown, false);
    for (std::size_t start = 0, end; start < described.size(); start = end + 1) {
        end = described.find('\n', start);
        if (end == std::string::npos)
            end = described.size();
        ctx.out << CliField(std::string_view(described).substr(start, end - start)) << '\n';
    }
    ctx.out.flush();
    if (yes) {
        if (shown.fingerprint != expected) {
            ctx.err << "quarnel-cli: the server presented " << shown.fingerprint << ", not " << expected
                    << '\n';
            return kCliError;
        }
    } else {
        if (!isatty(STDIN_FILENO)) {
            ctx.err << "quarnel-cli: not trusted; to accept it without a question: trust " << CliField(key)
                    << " --yes --fingerprint " << shown.fingerprint << '\n';
            return kCliError;
        }
        ctx.err << "Trust it for " << CliField(key) << "? [y/N] ";
        ctx.err.flush();
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
            ctx.err << "quarnel-cli: not trusted\n";
            return kCliError;
        }
    }
    if (!ctx.prepareToWrite())
        return kCliError;
    const CResult<void> saved = TrustSitePeer(*site, shown);
    if (!saved) {
        ctx.err << "quarnel-cli: " << CliField(saved.error().Text()) << '\n';
        return kCliError;
    }
    ctx.out << "trusted\n";
    return kCliOk;
}

const CommandRegistrar trustCommand{
    {"trust",
     "trust KEY [--yes --fingerprint SHA256]",
     "show the certificate or SSH host key of a secure site's server and accept it for the site "
     "(asks on a terminal; --yes with the expected --fingerprint for scripts)",
     RunTrust,
     false,
     false,
     {{"yes", 0, {}, "accept without asking; needs --fingerprint"},
      {"fingerprint", 0, "SHA256", "the fingerprint expected (hex, with or without colons)"}}}};

} // namespace
