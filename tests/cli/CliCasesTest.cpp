// quarnel-cli run on command lines kept as data: every tests/cli/data/*.txt, each case ("== NAME")
// its own test, run on a fresh program directory holding one of the catalogues of CliCatalogues.h.
// The form of the lines is described at the top of tests/cli/data/scripting.txt.
#include "tests/cli/CliCatalogues.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/DataText.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using testsupport::Unescape;

// A run of quarnel-cli, or one of the file steps between runs.
enum class StepKind { Run, WriteFile, MakeDir, Link, Remove, Exists, Absent };
const std::map<std::string, StepKind> kFileSteps = {
    {"file", StepKind::WriteFile}, {"mkdir", StepKind::MakeDir}, {"link", StepKind::Link},
    {"remove", StepKind::Remove},  {"exists", StepKind::Exists}, {"absent", StepKind::Absent}};

struct Step {
    StepKind kind = StepKind::Run;
    int line = 0;
    std::vector<std::string> args; // the arguments of a run; the path of the other kinds
    std::string in;                // standard input of a run; what a file gets
    std::string inFile;
    int status = 0;
    std::string out;
    std::string err;
    bool checkErr = false;
    bool unchanged = false;            // the program directory is as it was before the run
    std::vector<std::string> outParts; // each somewhere in standard output
    std::vector<std::string> outNever; // none anywhere in standard output
    std::vector<std::string> errParts; // each somewhere in standard error
};

struct Case {
    std::string file; // its data file's name
    int line = 0;
    std::string title;
    std::string id; // the test's name: the file's stem and the title's words
    std::string catalogue;
    std::vector<Step> steps;
    Step every;        // what the lines before the first run give every run
    std::string error; // what is wrong with the data, if anything
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.file << ":" << c.line;
}

// "tree PATH --depth: a part" -> "TreePATHDepthAPart"
std::string IdOf(const std::string& stem, const std::string& title) {
    std::string id = stem + "_";
    bool start = true;
    for (const char c : title) {
        if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
            id += start ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            start = false;
        } else
            start = true;
    }
    return id;
}

std::vector<Case> ReadCases(const fs::path& path) {
    std::ifstream file(path);
    const std::string name = path.filename().string(), stem = path.stem().string();
    std::vector<Case> cases;
    std::string catalogue = "listing"; // until the file names another before its first case
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t blank = line.find(' ');
        const std::string tag = line.substr(0, blank);
        const std::string text = blank == std::string::npos ? "" : line.substr(blank + 1);
        const std::string where = name + ":" + std::to_string(number) + ": ";
        if (tag == "==") {
            cases.push_back({name, number, text, IdOf(stem, text), catalogue, {}, {}});
            continue;
        }
        if (tag == "catalogue" && (cases.empty() || cases.back().steps.empty())) {
            (cases.empty() ? catalogue : cases.back().catalogue) = text;
            continue;
        }
        if (cases.empty())
            throw std::runtime_error(where + "no case started");
        std::vector<Step>& steps = cases.back().steps;
        if (tag == "$" || kFileSteps.count(tag)) {
            Step step;
            if (tag == "$")
                step = cases.back().every;
            step.line = number;
            if (tag == "$") {
                std::istringstream words(text);
                for (std::string word; std::getline(words, word, ' ');)
                    step.args.push_back(Unescape(word));
                if (!text.empty() && text.back() == ' ')
                    step.args.emplace_back();
            } else {
                step.kind = kFileSteps.at(tag);
                const std::size_t end = text.find(' ');
                step.args.push_back(text.substr(0, end));
                if (end != std::string::npos)
                    step.in = Unescape(text.substr(end + 1));
            }
            steps.push_back(step);
            continue;
        }
        if (!steps.empty() && steps.back().kind != StepKind::Run)
            throw std::runtime_error(where + "no command before " + tag);
        Step& step = steps.empty() ? cases.back().every : steps.back();
        if (tag == "<")
            step.in += Unescape(text) + "\n";
        else if (tag == "<=")
            step.in += Unescape(text);
        else if (tag == "<file")
            step.inFile = text;
        else if (tag == "?")
            step.status = std::stoi(text);
        else if (tag == ">")
            step.out += Unescape(text) + "\n";
        else if (tag == "=")
            step.out += Unescape(text);
        else if (tag == "!")
            step.err += Unescape(text) + "\n", step.checkErr = true;
        else if (tag == "!=")
            step.err += Unescape(text), step.checkErr = true;
        else if (tag == ">~")
            step.outParts.push_back(Unescape(text));
        else if (tag == ">!~")
            step.outNever.push_back(Unescape(text));
        else if (tag == "!~")
            step.errParts.push_back(Unescape(text));
        else if (tag == "unchanged")
            step.unchanged = true;
        else
            throw std::runtime_error(where + "unknown line " + tag);
    }
    return cases;
}

// Every case of every data file, in the order of the files' names; a file that cannot be read
// gives one case that fails with the reason.
std::vector<Case> AllCases() {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(QUARNEL_TEST_SOURCE_DIR "/cli/data", error))
        if (entry.path().extension() == ".txt")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Case> all;
    if (files.empty()) {
        Case none;
        none.id = "NoDataFile";
        none.error = QUARNEL_TEST_SOURCE_DIR "/cli/data: no case file (" + error.message() + ")";
        all.push_back(none);
    }
    std::map<std::string, int> seen;
    for (const fs::path& path : files) {
        try {
            std::vector<Case> cases = ReadCases(path);
            if (cases.empty())
                throw std::runtime_error(path.filename().string() + ": no case");
            for (Case& c : cases) {
                if (const int n = ++seen[c.id]; n > 1)
                    c.id += "_" + std::to_string(n);
                all.push_back(std::move(c));
            }
        } catch (const std::exception& e) {
            Case bad;
            bad.file = path.filename().string();
            bad.id = path.stem().string() + "_Unreadable";
            bad.error = e.what();
            all.push_back(bad);
        }
    }
    return all;
}

// Everything below `root` (hidden names too) with its kind, size, mode and change times: two
// listings are equal only when nothing was created, removed, written, renamed or touched.
std::map<std::string, std::string> Listing(const std::string& root) {
    std::map<std::string, std::string> listing;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        std::ostringstream facts;
        facts << std::oct << st.st_mode << std::dec << ' ' << st.st_size << ' ' << st.st_ino << ' '
              << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << ' ' << st.st_ctim.tv_sec << '.'
              << st.st_ctim.tv_nsec;
        listing[entry.path().string().substr(root.size())] = facts.str();
    }
    return listing;
}

class CliCase : public ::testing::TestWithParam<Case> {
protected:
    // {app} is the program directory, {tmp} a directory for the case's own files.
    std::string Expand(std::string text) const {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"{app}", m_app}, {"{tmp}", m_tmp}})
            for (std::size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, key.size(), value);
        return text;
    }

    void RunStep(const Step& step) {
        const std::string path = step.args.empty() ? "" : Expand(step.args[0]);
        if (step.kind == StepKind::WriteFile) {
            fs::create_directories(fs::path(path).parent_path());
            std::ofstream(path, std::ios::binary) << Expand(step.in);
            return;
        }
        std::error_code error;
        if (step.kind == StepKind::MakeDir) {
            fs::create_directories(path, error);
            EXPECT_FALSE(error) << path << ": " << error.message();
            return;
        }
        if (step.kind == StepKind::Link) {
            fs::create_symlink(Expand(step.in), path, error);
            EXPECT_FALSE(error) << path << ": " << error.message();
            return;
        }
        if (step.kind == StepKind::Remove) {
            fs::remove_all(path);
            return;
        }
        if (step.kind != StepKind::Run) {
            struct stat st {};
            EXPECT_EQ(lstat(path.c_str(), &st) == 0, step.kind == StepKind::Exists) << path;
            return;
        }
        std::vector<std::string> args = step.args;
        for (std::string& arg : args)
            arg = Expand(arg);
        const auto before = step.unchanged ? Listing(m_app) : std::map<std::string, std::string>{};
        const clitest::CliRun run = clitest::RunCli(
            m_io.path(), m_app, args,
            {.input = Expand(step.in), .inputFile = step.inFile.empty() ? "" : Expand(step.inFile)});
        const std::string &out = run.out, &err = run.err;
        EXPECT_EQ(run.status, step.status) << err;
        if (step.outParts.empty()) {
            EXPECT_EQ(out, Expand(step.out));
        }
        for (const std::string& part : step.outParts)
            EXPECT_NE(out.find(Expand(part)), std::string::npos) << part << " in\n" << out;
        for (const std::string& part : step.outNever)
            EXPECT_EQ(out.find(Expand(part)), std::string::npos) << part << " in\n" << out;
        if (step.checkErr) {
            EXPECT_EQ(err, Expand(step.err));
        }
        for (const std::string& part : step.errParts)
            EXPECT_NE(err.find(Expand(part)), std::string::npos) << part << " in\n" << err;
        if (step.unchanged) {
            EXPECT_EQ(Listing(m_app), before);
        }
    }

    ftptest::TempDir m_work{"quarnel-cli-case"};
    ftptest::TempDir m_io{"quarnel-cli-case-io"};
    ftptest::TempDir m_files{"quarnel-cli-case-files"};
    const std::string m_app = m_work.path() + "/app";
    const std::string& m_tmp = m_files.path();
};

TEST_P(CliCase, Runs) {
    const Case& c = GetParam();
    ASSERT_EQ(c.error, "");
    ASSERT_FALSE(c.steps.empty()) << c.file << ":" << c.line << ": no command";
    clitest::WriteCatalogue(m_app, c.catalogue);
    for (const Step& step : c.steps) {
        SCOPED_TRACE(c.file + ":" + std::to_string(step.line));
        RunStep(step);
    }
}

INSTANTIATE_TEST_SUITE_P(Data, CliCase, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& test) { return test.param.id; });

} // namespace
