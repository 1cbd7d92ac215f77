#pragma once
// The one option parser of quarnel-cli, for the global options and every command's. Each command
// declares its options as a table; the parser reads the command line by it and the help lists it.
//
// The rules: a long option takes its value as "--port=2121" or "--port 2121"; short options may
// be grouped ("-q0") and take a value joined or as the next argument; "--" ends the options; an
// option may stand anywhere among the operands; "-" alone is an operand. A value is taken as it
// is, also when it starts with "-" ("--port -1" gives the value "-1").

#include <string>
#include <string_view>
#include <vector>

struct CliOption {
    std::string_view name;  // the long name without "--" ("port")
    char shortName = 0;     // the short name ('q' for -q); 0: none
    std::string_view value; // the value's name in the help ("N"); empty: takes no value
    std::string_view help;  // what the option does, for the help
    bool secret = false;    // the value is overwritten in the process's argv once read
};

using CliOptionTable = std::vector<CliOption>;

// What a command line gave: the options in the order typed and the operands.
struct CliArgs {
    struct Given {
        const CliOption* option;
        std::string value;
    };
    std::vector<Given> given;
    std::vector<std::string> operands;

    bool Has(std::string_view name) const;
    // The value given last for the option, or null when it was not given.
    const std::string* Last(std::string_view name) const;
};

struct CliParse {
    CliArgs args;
    std::string error; // the first usage error met; the parse goes on so that --help still counts
    int next = 0;      // the index after the last argument read
};

struct CliParseRules {
    // Stop at the first operand (the command after the global options) or after a "--", leaving it
    // unread.
    bool stopAtOperand = false;
    // An argument that starts with one "-" and is not made of the table's short options is an
    // operand (find's "-word").
    bool dashWords = false;
};

// Reads argv[from] to argv[argc - 1] by `tables`. The value of a secret option is overwritten with
// 'x' in argv itself, which is what other users see of the process (/proc/PID/cmdline, ps).
CliParse ParseCliArguments(int argc, char** argv, int from, const std::vector<const CliOptionTable*>& tables,
                           CliParseRules rules = {});

// The options of `tables` for a help text: one option a line, its text in a column, wrapped at 80
// columns.
std::string CliOptionHelp(const std::vector<const CliOptionTable*>& tables);

// `text` that starts at column `indent`, wrapped at `width` columns (counting bytes: the help is
// ASCII), each line but the first starting with `indent` blanks.
std::string CliWrapped(std::string_view text, std::size_t indent, std::size_t width = 80);
