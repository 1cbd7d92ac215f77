#include "cli/CliSiteOptions.h"

#include "cli/CliPassword.h"
#include "cli/CliText.h"
#include "cli/Command.h"
#include "ops/ImportLine.h"
#include "platform/TextCodec.h"

#include <ostream>
#include <string_view>
#include <unistd.h>

int32_t CliPort(const std::string& text) {
    // At most five digits: a longer run of digits is out of range, and stoi never sees it.
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) < 1 || std::stoi(text) > 65535)
        throw CliUsageError("--port takes a number from 1 to 65535, not \"" + text + "\"");
    return static_cast<int32_t>(std::stoi(text));
}

void CheckHost(const std::string& host) {
    switch (CheckHostText(host)) {
    case HostFault::Empty:
        throw CliUsageError("--host must not be empty");
    case HostFault::BadCharacter:
        throw CliUsageError("--host must not hold blanks or control characters: \"" + host + "\"");
    case HostFault::KeyTooLong:
    case HostFault::None:
        break;
    }
    // The host alone is the key of an anonymous site.
    CheckSiteKey(Utf8ToNarrow(host));
}

void CheckSiteKey(const std::string& storedKey) {
    if (storedKey.size() > kMaxSiteKeyBytes)
        throw CliUsageError("the host and user name make a site key of " + std::to_string(storedKey.size()) +
                            " bytes; it names the site's directory and must fit one file name, at most " +
                            std::to_string(kMaxSiteKeyBytes) + " bytes");
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
    if (!askOnTerminal)
        return true;
    if (isatty(STDIN_FILENO)) {
        // Asked for rather than typed on the command line, where every user sees it in `ps`.
        if (!PromptPassword(prompt, password)) {
            ctx.err << "quarnel-cli: no password was read\n";
            return false;
        }
        return true;
    }
    // No terminal: the first line of standard input (`pass show ftp | quarnel-cli add ...`). Input
    // that ends before any byte gives no password rather than an empty one.
    std::string error, line;
    bool empty = false;
    if (!ReadPasswordLine(STDIN_FILENO, line, error, &empty) || empty) {
        ctx.err << "quarnel-cli: no password on standard input"
                << (empty ? std::string() : " (" + CliField(error) + ")")
                << "; give it as the first line of standard input, or --password-file FILE\n";
        return false;
    }
    password = std::move(line);
    return true;
}
