// Which directory holds the catalogue: the order of --dir, $QUARNEL_DIR, a portable copy and
// the XDG data directory, and how the last one is made.

#include "model/ProgramDir.h"

#include "tests/model/ModelTestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>

namespace {

using Opt = std::optional<std::string>;

struct ChoiceCase {
    const char* name;
    Opt dirOption, quarnelDir, xdgDataHome, home;
    std::set<std::string> existing; // what the file system holds
    std::string path;               // expected; empty: an error
    ProgramDirSource source;
    bool exists;
};

TEST(ProgramDir, ChoiceOrder) {
    const std::string exe = "/x";
    const Opt no;
    using S = ProgramDirSource;
    const ChoiceCase cases[] = {
        {"option first", "/o", "/env", "/xdg", "/h", {"/x/site.ds", "/o"}, "/o", S::Option, true},
        {"option kept when missing", "rel", no, no, "/h", {}, "rel", S::Option, false},
        {"empty option refused", "", "/env", no, "/h", {}, "", S::Option, false},
        {"environment before portable", no, "/env", no, "/h", {"/x/site.ds"}, "/env", S::Environment, false},
        {"empty environment is unset", no, "", no, "/h", {}, "/h/.local/share/quarnel", S::Default, false},
        {"portable when site.ds beside", no, no, "/xdg", "/h", {"/x/site.ds", "/x"}, "/x", S::Portable, true},
        {"xdg data home", no, no, "/xdg", "/h", {"/xdg/quarnel"}, "/xdg/quarnel", S::Default, true},
        {"relative xdg ignored", no, no, "rel", "/h", {}, "/h/.local/share/quarnel", S::Default, false},
        {"empty xdg ignored", no, no, "", "/h", {}, "/h/.local/share/quarnel", S::Default, false},
        {"no home at all", no, no, no, "", {}, "", S::Default, false},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramDirInputs inputs{c.dirOption, c.quarnelDir, c.xdgDataHome, c.home, exe};
        const ProgramDirChoice choice =
            ChooseProgramDir(inputs, [&](const std::string& path) { return c.existing.count(path) > 0; });
        EXPECT_EQ(choice.path, c.path);
        EXPECT_EQ(choice.error.empty(), !c.path.empty()) << choice.error;
        if (c.path.empty())
            continue;
        EXPECT_EQ(choice.source, c.source);
        EXPECT_EQ(choice.exists, c.exists);
    }
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(ProgramDir, EnsureMakesParentsAndAPrivateDirectory) {
    model_test::TempAppDir tmp;
    const mode_t old = umask(0); // the directory is private whatever the umask says
    const std::string dir = tmp.Path() + "/home/.local/share/quarnel";
    const CResult<void> made = EnsureProgramDir(dir + "/");
    umask(old);
    ASSERT_TRUE(made.ok()) << made.error().Text();
    EXPECT_EQ(ModeOf(dir), 0700u);
    EXPECT_EQ(ModeOf(tmp.Path() + "/home/.local"), 0777u); // parents as mkdir -p makes them

    // One already there keeps the mode its owner gave it.
    chmod(dir.c_str(), 0750);
    EXPECT_TRUE(EnsureProgramDir(dir).ok());
    EXPECT_EQ(ModeOf(dir), 0750u);

    // A file in the way is named in the error.
    model_test::WriteWhole(tmp.Path() + "/file", "x");
    const CResult<void> blocked = EnsureProgramDir(tmp.Path() + "/file");
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().errnoValue, ENOTDIR);
    EXPECT_EQ(blocked.error().path, tmp.Path() + "/file");
}

TEST(ProgramDir, HelpFileBesideTheProgramThenInShareDoc) {
    EXPECT_EQ(HelpFileCandidates("/usr/bin"),
              (std::vector<std::string>{"/usr/bin/help.pdf", "/usr/share/doc/quarnel/help.pdf"}));
    EXPECT_EQ(HelpFileCandidates("/opt/q/build/bin")[1], "/opt/q/build/share/doc/quarnel/help.pdf");
}

} // namespace
