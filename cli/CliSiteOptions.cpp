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

CliOptionTable SiteOptionTable(bool withAnonymousUpdate) {
    CliOptionTable table = {
        {"host", 0, "H", "the server's host name or address: no blanks or control characters"},
        {"port", 0, "N", "1 to 65535; when not given, the protocol's: 21, 990 for ftps, 22 for sftp"},
        {"user", 0, "U",
         "the login; a new login's password is asked for without echo on a terminal, else read from "
         "the first line of standard input"},
        {"anonymous", 0, {}, "an anonymous login (no --user, no password)"},
        {"password-file", 0, "FILE", "the password: the first line of FILE (a pipe too)"},
        {"password", 0, "P",
         "the password; unsafe: other users may read it in the process list before it "
         "is blanked",
         true},
        {"nickname", 0, "T", "a name to show"},
        {"remark", 0, "T", "a remark"},
        {"encoding", 0, "auto|utf8|gbk", "how the server's names are read"},
        {"protocol", 0, "ftp|ftpes|ftps|sftp",
         "ftpes: FTP with TLS asked for before the login; ftps: TLS from the connect on"},
        {"connections", 0, "1-4", "connections an update opens at once"},
    };
    if (withAnonymousUpdate)
        table.push_back({"anonymous-update", 0, {}, "update the site with an anonymous login"});
    return table;
}

CliSiteOptions ParseSiteOptions(const CliArgs& args) {
    CliSiteOptions options;
    options.operands = args.operands;
    for (const CliArgs::Given& given : args.given) {
        const std::string_view name = given.option->name;
        const std::string& value = given.value;
        if (name == "host") {
            CheckHost(value);
            options.host = value;
        } else if (name == "port") {
            options.port = CliPort(value);
        } else if (name == "user") {
            options.user = value;
        } else if (name == "password") {
            options.password = value;
        } else if (name == "password-file") {
            options.passwordFile = value;
        } else if (name == "anonymous") {
            options.anonymous = true;
        } else if (name == "anonymous-update") {
            options.anonymousUpdate = true;
        } else if (name == "nickname") {
            options.nickname = value;
        } else if (name == "remark") {
            options.remark = value;
        } else if (name == "encoding") {
            NameEncodingChoice choice = NameEncodingChoice::Auto;
            if (!ParseEncodingChoice(value, choice))
                throw CliUsageError("--encoding takes auto, utf8 or gbk");
            options.encoding = choice;
        } else if (name == "protocol") {
            options.protocol = ProtocolFromName(value);
            if (!options.protocol)
                throw CliUsageError("--protocol takes ftp, ftpes, ftps or sftp");
        } else if (name == "connections") {
            int connections = 0;
            if (!ParseSiteConnections(value, connections))
                throw CliUsageError("--connections takes a number from 1 to " +
                                    std::to_string(kMaxSiteConnections));
            options.connections = connections;
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
