#include "cli/CliOptions.h"

#include <algorithm>
#include <cstring>

namespace {

const CliOption* FindLong(const std::vector<const CliOptionTable*>& tables, std::string_view name) {
    for (const CliOptionTable* table : tables)
        for (const CliOption& option : *table)
            if (option.name == name)
                return &option;
    return nullptr;
}

const CliOption* FindShort(const std::vector<const CliOptionTable*>& tables, char name) {
    for (const CliOptionTable* table : tables)
        for (const CliOption& option : *table)
            if (option.shortName != 0 && option.shortName == name)
                return &option;
    return nullptr;
}

// Whether every letter of "-abc" up to the first that takes a value is a short option.
bool AllShortOptions(const std::vector<const CliOptionTable*>& tables, std::string_view letters) {
    for (const char letter : letters) {
        const CliOption* option = FindShort(tables, letter);
        if (!option)
            return false;
        if (!option->value.empty())
            return true;
    }
    return true;
}

// Overwrites the value at `text` in the process's own argument vector.
void Blank(char* text) {
    std::memset(text, 'x', std::strlen(text));
}

std::string Label(const CliOption& option) {
    std::string label = option.shortName ? std::string{'-', option.shortName, ',', ' '} : std::string(4, ' ');
    label += "--";
    label += option.name;
    if (!option.value.empty()) {
        label += ' ';
        label += option.value;
    }
    return label;
}

} // namespace

bool CliArgs::Has(std::string_view name) const {
    return std::any_of(given.begin(), given.end(), [&](const Given& g) { return g.option->name == name; });
}

const std::string* CliArgs::Last(std::string_view name) const {
    for (auto it = given.rbegin(); it != given.rend(); ++it)
        if (it->option->name == name)
            return &it->value;
    return nullptr;
}

CliParse ParseCliArguments(int argc, char** argv, int from, const std::vector<const CliOptionTable*>& tables,
                           CliParseRules rules) {
    CliParse parse;
    auto fail = [&](std::string message) {
        if (parse.error.empty())
            parse.error = std::move(message);
    };
    // The value of `option` from the next argument, or a usage error when there is none.
    auto nextValue = [&](const CliOption& option, int& i, const std::string& typed) {
        if (i + 1 >= argc) {
            fail(typed + " needs a value (" + std::string(option.value) + ")");
            return;
        }
        parse.args.given.push_back({&option, argv[++i]});
        if (option.secret)
            Blank(argv[i]);
    };
    bool operandsOnly = false;
    int i = from;
    for (; i < argc; ++i) {
        char* const text = argv[i];
        const std::string_view arg(text);
        if (operandsOnly || arg.size() < 2 || arg[0] != '-') {
            if (rules.stopAtOperand)
                break;
            parse.args.operands.emplace_back(arg);
        } else if (arg == "--") {
            operandsOnly = true;
            if (rules.stopAtOperand) {
                ++i;
                break;
            }
        } else if (arg[1] == '-') {
            const std::size_t equals = arg.find('=');
            const std::string_view name =
                arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
            const std::string typed = "--" + std::string(name);
            const CliOption* option = FindLong(tables, name);
            if (!option) {
                fail("unknown option " + typed);
            } else if (option->value.empty()) {
                if (equals != std::string_view::npos)
                    fail(typed + " takes no value");
                else
                    parse.args.given.push_back({option, {}});
            } else if (equals != std::string_view::npos) {
                parse.args.given.push_back({option, std::string(arg.substr(equals + 1))});
                if (option->secret)
                    Blank(text + equals + 1);
            } else {
                nextValue(*option, i, typed);
            }
        } else if (rules.dashWords && !AllShortOptions(tables, arg.substr(1))) {
            if (rules.stopAtOperand)
                break;
            parse.args.operands.emplace_back(arg);
        } else {
            for (std::size_t at = 1; at < arg.size(); ++at) {
                const std::string typed{'-', arg[at]};
                const CliOption* option = FindShort(tables, arg[at]);
                if (!option) {
                    fail("unknown option " + typed);
                    break;
                }
                if (option->value.empty()) {
                    parse.args.given.push_back({option, {}});
                    continue;
                }
                if (at + 1 < arg.size()) {
                    parse.args.given.push_back({option, std::string(arg.substr(at + 1))});
                    if (option->secret)
                        Blank(text + at + 1);
                } else {
                    nextValue(*option, i, typed);
                }
                break;
            }
        }
    }
    parse.next = i;
    return parse;
}

std::string CliWrapped(std::string_view text, std::size_t indent, std::size_t width) {
    std::string wrapped, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            wrapped += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        if (!line.empty())
            line += ' ';
        line += word;
        start = end + 1;
    }
    return wrapped + line;
}

std::string CliOptionHelp(const std::vector<const CliOptionTable*>& tables) {
    constexpr std::size_t kMostLabel = 22; // a longer label has its text on the next line
    std::size_t labelWidth = 0;
    for (const CliOptionTable* table : tables)
        for (const CliOption& option : *table)
            if (const std::size_t size = Label(option).size(); size <= kMostLabel)
                labelWidth = std::max(labelWidth, size);
    const std::size_t column = 2 + labelWidth + 2;
    std::string help;
    for (const CliOptionTable* table : tables) {
        for (const CliOption& option : *table) {
            const std::string label = "  " + Label(option);
            help += label;
            if (label.size() + 2 > column)
                help += "\n" + std::string(column, ' ');
            else
                help += std::string(column - label.size(), ' ');
            help += CliWrapped(option.help, column) + "\n";
        }
    }
    return help;
}
