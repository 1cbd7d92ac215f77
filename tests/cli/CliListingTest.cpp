// quarnel-cli as scripts call it: the listings (--json, -0, --limit, tree PATH --depth, import -) and
// the command line as the option parser reads it. The cases are data, tests/cli/data/scripting.txt
// and options.txt, each run on a fresh catalogue whose names hold tabs, newlines, backslashes,
// quotes, controls and GBK bytes.
#include "model/Paths.h"
#include "model/SiteListFile.h"
#include "tests/ops/CatalogueBuilder.h"
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

using opstest::AddDir;
using opstest::AddFile;

// \t \n \r \0 \\ and \xNN in a case's text.
std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 't')
            out += '\t';
        else if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == '0')
            out += '\0';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

struct Step {
    int line = 0;
    std::vector<std::string> args;
    std::string in;
    std::string inFile;
    int status = 0;
    std::string out;
    std::string err;
    bool checkErr = false;
    std::vector<std::string> outParts; // each somewhere in standard output
    std::vector<std::string> errParts; // each somewhere in standard error
};

struct Case {
    std::string name;
    std::vector<Step> steps;
};

std::vector<Case> ReadCases(const std::string& path) {
    std::ifstream file(path);
    std::vector<Case> cases;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t blank = line.find(' ');
        const std::string tag = line.substr(0, blank);
        const std::string text = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (tag == "==") {
            cases.push_back({text, {}});
            continue;
        }
        if (cases.empty())
            throw std::runtime_error(path + ":" + std::to_string(number) + ": no case started");
        std::vector<Step>& steps = cases.back().steps;
        if (tag == "$") {
            Step step;
            step.line = number;
            std::istringstream words(text);
            for (std::string word; std::getline(words, word, ' ');)
                step.args.push_back(Unescape(word));
            steps.push_back(step);
            continue;
        }
        if (steps.empty())
            throw std::runtime_error(path + ":" + std::to_string(number) + ": no command before " + tag);
        Step& step = steps.back();
        if (tag == "<")
            step.in += Unescape(text) + "\n";
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
        else if (tag == ">~")
            step.outParts.push_back(Unescape(text));
        else if (tag == "!~")
            step.errParts.push_back(Unescape(text));
        else
            throw std::runtime_error(path + ":" + std::to_string(number) + ": unknown line " + tag);
    }
    return cases;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class CliListingTest : public ::testing::Test {
protected:
    // Two sites: srv (anonymous) with names that need care, host@bob with a login and controls,
    // its names read as UTF-8.
    void WriteCatalogue() {
        std::filesystem::remove_all(m_app);
        std::filesystem::create_directory(m_app);
        SetAppDir(m_app);
        CObList<CFTPSite> list;
        CFTPSite* srv = opstest::AddSite(list, "srv");
        CFTPDir* root = srv->m_pRootDir.get();
        CFTPDir* pub = AddDir(root, "pub", 1);
        AddFile(pub, "ReadMe.txt", 1536, 1);
        CFTPDir* tab = AddDir(root, "tab\there");
        AddFile(tab, "new\nline", 7);
        AddFile(tab, "say \"hi\".txt", 10, 1);
        CFTPDir* gbk = AddDir(root, "\xCE\xC4\xB5\xB5"); // 文档 in GBK
        CFTPDir* sub = AddDir(gbk, "sub");
        AddFile(sub, "deep.txt", 1);
        AddFile(gbk, "back\\slash", 3);
        AddFile(root, "top.iso", 5368709120ull);
        CFTPSite* host = opstest::AddSite(list, "host", "bob", "secret", 2121);
        AddFile(host->m_pRootDir.get(), "x y.txt", 2, 1);
        AddFile(host->m_pRootDir.get(), "esc\x1b[2J c1\xC2\x85", 4);
        ASSERT_TRUE(srv->SaveCatalogue());
        ASSERT_TRUE(srv->SaveState());
        ASSERT_TRUE(host->SaveCatalogue());
        ASSERT_TRUE(host->SaveState());
        CSiteSettings utf8; // so that the C1 control is read as one
        utf8.m_encoding = NameEncodingChoice::Utf8;
        ASSERT_TRUE(host->SetSettings(utf8));
        ASSERT_TRUE(SaveSiteList(SiteListPath(), list));
        SetAppDir(".");
    }

    void RunStep(const Step& step) {
        const std::string inPath = m_io.path() + "/in", outPath = m_io.path() + "/out",
                          errPath = m_io.path() + "/err";
        std::ofstream(inPath, std::ios::binary) << step.in;
        const std::string input = step.inFile.empty() ? inPath : step.inFile;
        std::vector<std::string> args = step.args;
        for (std::string& arg : args)
            if (const std::size_t at = arg.find("{app}"); at != std::string::npos)
                arg.replace(at, 5, m_app);
        args.insert(args.begin(), {QUARNEL_BINARY_DIR "/bin/quarnel-cli", "--dir", m_app});
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open(input.c_str(), O_RDONLY), 0);
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            testsupport::ExecArgs(std::move(args));
        }
        const int status = testsupport::WaitExit(pid);
        const std::string err = ReadAll(errPath);
        EXPECT_EQ(status, step.status) << err;
        const std::string out = ReadAll(outPath);
        if (step.outParts.empty()) {
            EXPECT_EQ(out, step.out);
        }
        for (const std::string& part : step.outParts)
            EXPECT_NE(out.find(part), std::string::npos) << part << " in\n" << out;
        if (step.checkErr) {
            EXPECT_EQ(err, step.err);
        }
        for (const std::string& part : step.errParts)
            EXPECT_NE(err.find(part), std::string::npos) << part << " in\n" << err;
    }

    ftptest::TempDir m_work{"quarnel-cli-listing"};
    ftptest::TempDir m_io{"quarnel-cli-listing-io"};
    const std::string m_app = m_work.path() + "/app";

    void RunCasesOf(const std::string& path) {
        const std::vector<Case> cases = ReadCases(path);
        ASSERT_FALSE(cases.empty());
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            WriteCatalogue();
            for (const Step& step : c.steps) {
                SCOPED_TRACE(path + ":" + std::to_string(step.line));
                RunStep(step);
            }
        }
    }
};

TEST_F(CliListingTest, CasesOfTheDataFile) {
    RunCasesOf(QUARNEL_TEST_SOURCE_DIR "/cli/data/scripting.txt");
}

// The command line as the option parser reads it: tests/cli/data/options.txt.
TEST_F(CliListingTest, OptionCasesOfTheDataFile) {
    RunCasesOf(QUARNEL_TEST_SOURCE_DIR "/cli/data/options.txt");
}

} // namespace
