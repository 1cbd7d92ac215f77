#include "cli/CliSiteOptions.h"

#include "cli/CliPassword.h"
#include "cli/CliText.h"
#include "cli/Command.h"

#include <ostream>
#include <string_view>
#include <unistd.h>

namespace {

// A character the host cannot hold, at `pos` of UTF-8 text: a C0 or C1 control, DEL, or a
// blank (the ASCII space and the Unicode spaces a keyboard or a copied text may bring in).
// Its length in bytes, or 0 when the character there is fine.
std::size_t BadHostCharacter(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) {
        return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0u;
    };
    const unsigned c = byte(0);
    if (c <= 0x20 || c == 0x7F)
        return 1;
    if (c == 0xC2 && byte(1) <= 0xA0) // U+0080..U+009F, U+00A0
        return 2;
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) // U+1680
        return 3;
    if (c == 0xE2 && byte(1) == 0x80 &&
        ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 ||
         byte(2) == 0xAF)) // U+2000..200A, 2028, 2029, 202F
        return 3;
    if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) // U+205F
        return 3;
    if (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) // U+3000, the ideographic space
        return 3;
    return 0;
}

} // namespace

int32_t CliPort(const std::string& text) {
    // At most five digits: a longer run of digits is out of range, and stoi never sees it.
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) < 1 || std::stoi(text) > 65535)
        throw CliUsageError("--port takes a number from 1 to 65535, not \"" + text + "\"");
    return static_cast<int32_t>(std::stoi(text));
}

void CheckHost(const std::string& host) {
    if (host.empty())
        throw CliUsageError("--host must not be empty");
    for (std::size_t i = 0; i < host.size(); ++i)
        if (BadHostCharacter(host, i) != 0)
            throw CliUsageError("--host must not hold blanks or control characters: \"" + host + "\"");
}

CliSiteOptions ParseSiteOptions(const std::vector<std::string>& args, bool allowAnonymousUpdate) {
    CliSiteOptions options;
    bool operandsOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operandsOnly || arg.empty() || arg[0] != '-') {
            options.operands.push_back(arg);
        } else if (arg == "--") {
            operandsOnly = true;
        } else if (arg == "--host") {
            options.host = TakeValue(args, i);
            CheckHost(*options.host);
        } else if (arg == "--port") {
            options.port = CliPort(TakeValue(args, i));
        } else if (arg == "--user") {
            options.user = TakeValue(args, i);
        } else if (arg == "--password") {
            options.password = TakeValue(args, i);
        } else if (arg == "--password-file") {
            options.passwordFile = TakeValue(args, i);
        } else if (arg == "--anonymous") {
            options.anonymous = true;
        } else if (arg == "--anonymous-update" && allowAnonymousUpdate) {
            options.anonymousUpdate = true;
        } else if (arg == "--nickname") {
            options.nickname = TakeValue(args, i);
        } else if (arg == "--remark") {
            options.remark = TakeValue(args, i);
        } else if (arg == "--encoding") {
            NameEncodingChoice choice = NameEncodingChoice::Auto;
            if (!ParseEncodingChoice(TakeValue(args, i), choice))
                throw CliUsageError("--encoding takes auto, utf8 or gbk");
            options.encoding = choice;
        } else if (arg == "--protocol") {
            options.protocol = ProtocolFromName(TakeValue(args, i));
            if (!options.protocol)
                throw CliUsageError("--protocol takes ftp, ftpes, ftps or sftp");
        } else if (arg == "--connections") {
            int connections = 0;
            if (!ParseSiteConnections(TakeValue(args, i), connections))
                throw CliUsageError("--connections takes a number from 1 to " +
                                    std::to_string(kMaxSiteConnections));
            options.connections = connections;
        } else {
            throw CliUsageError("unexpected argument " + arg);
        }
    }
    if (options.anonymous && (options.user || options.password || options.passwordFile))
        throw CliUsageError("--anonymous takes no --user, --password or --password-file");
    if (options.password && options.passwordFile)
        throw CliUsageError("give --password or --password-file, not both");
    return options;
}

bool TakePassword(CliContext& ctx, const CliSiteOptions& options, const std::string& prompt,
                  bool askOnTerminal, std::string& password) {
    if (options.passwordFile) {
        std::string error;
        if (!ReadPasswordFile(*options.passwordFile, password, error)) {
            ctx.err << "quarnel-cli: cannot read the password from " << CliField(*options.passwordFile)
                    << ": " << CliField(error) << '\n';
            return false;
        }
        return true;
    }
    if (options.password) {
        password = *options.password;
        return true;
    }
    if (askOnTerminal && isatty(STDIN_FILENO)) {
        // Asked for rather than typed on the command line, where every user sees it in `ps`.
        if (!PromptPassword(prompt, password)) {
            ctx.err << "quarnel-cli: no password was read\n";
            return false;
        }
    }
    return true;
}
