// How names from servers are read: the per-site decision from evidence, the per-name plausibility
// for names of the other kind, typed fields always GB18030, and the per-site settings file.
#include "platform/NameCharset.h"
#include "ModelTestSupport.h"
#include "model/SiteSettings.h"
#include "platform/TextCodec.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

namespace {

std::string Gbk(const std::string& utf8) {
    return Utf8ToNarrow(utf8);
}

struct Name {
    std::string bytes; // as the server lists it
    std::string shown; // what a person must see
};

struct SiteCase {
    const char* what;
    std::vector<Name> names;
    NameCharset expected;
};

std::vector<SiteCase> SiteCases() {
    return {
        {"GBK site, some names also valid UTF-8",
         {{Gbk("目录"), "目录"}, {Gbk("学习"), "学习"}, {Gbk("资料"), "资料"}, {"readme.txt", "readme.txt"}},
         NameCharset::Gbk},
        {"UTF-8 site with Latin, CJK and Latin Extended names",
         {{"café", "café"}, {"文件", "文件"}, {"Ĳssel", "Ĳssel"}},
         NameCharset::Utf8},
        {"GBK site holding one UTF-8 upload",
         {{Gbk("目录"), "目录"}, {Gbk("学习"), "学习"}, {Gbk("资料"), "资料"}, {"中文资料", "中文资料"}},
         NameCharset::Gbk},
        {"only non-ASCII name is GBK that reads as UTF-8", {{Gbk("目录"), "目录"}}, NameCharset::Gbk},
        {"a single accented name", {{"café.txt", "café.txt"}}, NameCharset::Utf8},
        {"ASCII only", {{"pub", "pub"}, {"README", "README"}}, NameCharset::Undecided},
        {"Cyrillic words", {{"Привет", "Привет"}, {"файлы", "файлы"}}, NameCharset::Utf8},
        {"many UTF-8 names settle it",
         {{"中文", "中文"}, {"资料", "资料"}, {"图片", "图片"}, {"音乐", "音乐"}},
         NameCharset::Utf8},
    };
}

TEST(NameCharset, SiteDecisionAndShownNames) {
    for (const SiteCase& c : SiteCases()) {
        SCOPED_TRACE(c.what);
        CNameEvidence evidence;
        for (const Name& name : c.names)
            evidence.Add(name.bytes);
        const NameCharset decided = evidence.Decide();
        EXPECT_EQ(decided, c.expected);
        for (const Name& name : c.names)
            EXPECT_EQ(ServerNameToUtf8(name.bytes, decided), name.shown) << name.shown;
    }
}

TEST(NameCharset, StraysDoNotTurnAUtf8Site) {
    CNameEvidence evidence;
    for (int i = 0; i < 40; ++i)
        evidence.Add("文件" + std::to_string(i));
    evidence.Add("caf\xE9"); // one Latin-1 name among forty UTF-8 ones
    EXPECT_EQ(evidence.Decide(), NameCharset::Utf8);
    EXPECT_EQ(ServerNameToUtf8("caf\xE9", NameCharset::Utf8), GbkToUtf8("caf\xE9")); // not UTF-8 at all
}

TEST(NameCharset, PerNamePlausibility) {
    // Misread GBK is a jumble of Latin-1, Latin Extended, Greek and Cyrillic letters.
    EXPECT_GT(GbkReadingScore(Gbk("目录")), Utf8ReadingScore(Gbk("目录")));
    EXPECT_GT(GbkReadingScore(Gbk("学习")), Utf8ReadingScore(Gbk("学习")));
    // Misread UTF-8 Chinese falls into GBK's rare and user-defined areas.
    EXPECT_GT(Utf8ReadingScore("中文资料"), GbkReadingScore("中文资料"));
    EXPECT_GT(Utf8ReadingScore("Müller"), GbkReadingScore("Müller"));
    // On a UTF-8 site a valid name is always UTF-8; on a GBK site only a clearly better one.
    EXPECT_TRUE(ReadsAsUtf8(Gbk("目录"), NameCharset::Utf8));
    EXPECT_FALSE(ReadsAsUtf8(Gbk("目录"), NameCharset::Gbk));
    EXPECT_TRUE(ReadsAsUtf8("中文资料", NameCharset::Gbk));
    EXPECT_FALSE(ReadsAsUtf8("\xB0\xA1", NameCharset::Utf8)); // not valid UTF-8 at all
}

TEST(NameCharset, TypedTextIsAlwaysGb18030) {
    // A nickname typed as 目录 is stored as GB18030 and must not read as "Ŀ¼".
    EXPECT_EQ(GbkToUtf8(Utf8ToNarrow("目录")), "目录");
    EXPECT_EQ(GbkToUtf8(Utf8ToNarrow("学习")), "学习");
    EXPECT_EQ(GbkToUtf8("host"), "host");
}

TEST(NameCharset, SiteReadsItsSettingsAndItsNames) {
    model_test::TempAppDir dir;
    CFTPSite site;
    site.m_strHost = "srv";
    site.m_strPassword = kAnonymousPassword;
    model_test::AddDir(site.m_pRootDir.get(), Gbk("目录"));
    site.DecideNameCharset();
    EXPECT_EQ(site.GetNameCharset(), NameCharset::Gbk);

    CSiteSettings settings;
    settings.m_encoding = NameEncodingChoice::Utf8;
    ASSERT_TRUE(site.SetSettings(settings));
    EXPECT_EQ(site.GetNameCharset(), NameCharset::Utf8);

    CFTPSite again; // a later run reads the choice back from the file
    again.m_strHost = "srv";
    again.m_strPassword = kAnonymousPassword;
    EXPECT_EQ(again.GetNameCharset(), NameCharset::Utf8);
}

// ---- the settings file

TEST(SiteSettingsFile, RoundTripKeepsOtherVersionsLines) {
    model_test::TempAppDir dir;
    CSiteSettings settings;
    settings.m_encoding = NameEncodingChoice::Gbk;
    settings.m_bServerUtf8 = true;
    settings.m_protocol = SiteProtocol::FtpExplicitTls;
    settings.m_tlsPin = "AB:CD";
    settings.m_otherLines = {{"proxy", "socks5"}};
    ASSERT_TRUE(SaveSiteSettings("srv", settings));
    bool damaged = true;
    CSiteSettings read = LoadSiteSettings("srv", &damaged);
    EXPECT_FALSE(damaged);
    EXPECT_EQ(read.m_encoding, NameEncodingChoice::Gbk);
    EXPECT_TRUE(read.m_bServerUtf8);
    EXPECT_EQ(read.m_protocol, SiteProtocol::FtpExplicitTls);
    EXPECT_EQ(read.m_tlsPin, "AB:CD");
    EXPECT_EQ(read.m_otherLines, settings.m_otherLines);
    // A protocol of a later version is kept, and the site is not taken for plain FTP.
    ASSERT_TRUE(ParseSiteSettings("protocol=quic\n", read));
    EXPECT_TRUE(read.HasUnknownProtocol());
    EXPECT_EQ(FormatSiteSettings(read).find("protocol=quic\n") != std::string::npos, true);
    read.SetProtocol(SiteProtocol::Sftp);
    EXPECT_FALSE(read.HasUnknownProtocol());
    EXPECT_EQ(FormatSiteSettings(read).find("quic"), std::string::npos);
    // Nothing but the file itself is left in the site's directory.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path() + "/Data/srv"))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"site.conf"});
}

TEST(SiteSettingsFile, DamagedOrUnknownFallsBackWithNothingLost) {
    model_test::TempAppDir dir;
    const std::string path = dir.Path() + "/Data/srv/site.conf";
    std::filesystem::create_directories(dir.Path() + "/Data/srv");
    struct Case {
        const char* what;
        std::string text;
        bool damaged;
        NameEncodingChoice encoding;
    };
    const std::vector<Case> cases = {
        {"an encoding of a later version", "encoding=ebcdic\n", false, NameEncodingChoice::Auto},
        {"case and blanks", "  Encoding = UTF-8 \r\n", false, NameEncodingChoice::Utf8},
        {"binary bytes", std::string("\x01\x02\0\xFF", 4), true, NameEncodingChoice::Auto},
        {"a line without a value", "encoding\n", true, NameEncodingChoice::Auto},
        {"far too long", std::string(100000, '#'), true, NameEncodingChoice::Auto},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        model_test::WriteWhole(path, c.text);
        bool damaged = false;
        EXPECT_EQ(LoadSiteSettings("srv", &damaged).m_encoding, c.encoding);
        EXPECT_EQ(damaged, c.damaged);
    }
    // Saving over a damaged file keeps the damaged one aside.
    model_test::WriteWhole(path, "garbage without equals\n");
    CSiteSettings settings;
    settings.m_encoding = NameEncodingChoice::Gbk;
    ASSERT_TRUE(SaveSiteSettings("srv", settings));
    EXPECT_EQ(model_test::ReadWhole(path + ".damaged"), "garbage without equals\n");
    EXPECT_EQ(LoadSiteSettings("srv").m_encoding, NameEncodingChoice::Gbk);
}

// A settings file that is there but damaged or unreadable keeps what its good lines say and is
// marked damaged, naming the file and why: a secure site must never read as plain FTP.
TEST(SiteSettingsFile, DamageKeepsTheGoodLinesAndIsNeverTakenForPlain) {
    model_test::TempAppDir dir;
    const std::string siteDir = dir.Path() + "/Data/srv";
    const std::string path = siteDir + "/site.conf";
    const std::string secure = "protocol=ftpes\ntls-pin=AB:CD\n";
    enum class Kind { Text, Fifo, Directory, Link, Absent, DataDirIsFile };
    struct Case {
        const char* what;
        Kind kind;
        std::string text;
        const char* why; // part of the damage text; null: not damaged
        SiteProtocol protocol;
        const char* pin;
    };
    const std::vector<Case> cases = {
        {"whole", Kind::Text, secure, nullptr, SiteProtocol::FtpExplicitTls, "AB:CD"},
        {"a line without '=' appended", Kind::Text, secure + "junk\n", "line 3 is not name=value",
         SiteProtocol::FtpExplicitTls, "AB:CD"},
        {"a bad line first", Kind::Text, "=x\n" + secure, "line 1 is not name=value",
         SiteProtocol::FtpExplicitTls, "AB:CD"},
        {"binary bytes in the middle", Kind::Text, "protocol=ftps\n\x01\x02\x7f\ntls-pin=EF\n",
         "line 2 holds control bytes", SiteProtocol::FtpImplicitTls, "EF"},
        {"a NUL in the protocol line", Kind::Text, std::string("protocol=ftpes\0\n", 16), "control bytes",
         SiteProtocol::Ftp, ""},
        {"huge", Kind::Text, secure + std::string(70000, '#'), "larger than 64 KiB", SiteProtocol::Ftp, ""},
        {"a FIFO", Kind::Fifo, "", "not a regular file", SiteProtocol::Ftp, ""},
        {"a directory", Kind::Directory, "", "not a regular file", SiteProtocol::Ftp, ""},
        {"a symbolic link", Kind::Link, secure, "symbolic link", SiteProtocol::Ftp, ""},
        {"no file at all", Kind::Absent, "", nullptr, SiteProtocol::Ftp, ""},
        {"no site directory", Kind::DataDirIsFile, "", nullptr, SiteProtocol::Ftp, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir.Path() + "/Data");
        std::filesystem::create_directories(siteDir);
        switch (c.kind) {
        case Kind::Text:
            model_test::WriteWhole(path, c.text);
            break;
        case Kind::Fifo:
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            break;
        case Kind::Directory:
            std::filesystem::create_directory(path);
            break;
        case Kind::Link:
            model_test::WriteWhole(siteDir + "/elsewhere", c.text);
            std::filesystem::create_symlink("elsewhere", path);
            break;
        case Kind::Absent:
            break;
        case Kind::DataDirIsFile:
            std::filesystem::remove_all(siteDir);
            model_test::WriteWhole(siteDir, "x");
            break;
        }
        bool damaged = !c.why;
        const CSiteSettings read = LoadSiteSettings("srv", &damaged);
        EXPECT_EQ(damaged, c.why != nullptr);
        EXPECT_EQ(read.IsDamaged(), c.why != nullptr);
        if (c.why) {
            EXPECT_NE(read.m_strDamage.find(path + ": "), std::string::npos) << read.m_strDamage;
            EXPECT_NE(read.m_strDamage.find(c.why), std::string::npos) << read.m_strDamage;
        }
        EXPECT_EQ(read.m_protocol, c.protocol);
        EXPECT_EQ(read.m_tlsPin, c.pin);
    }
    // Saving the settings repairs the file and keeps the damaged one aside; the damage is not
    // written.
    std::filesystem::remove_all(dir.Path() + "/Data");
    std::filesystem::create_directories(siteDir);
    model_test::WriteWhole(path, secure + "junk\n");
    CSiteSettings repaired = LoadSiteSettings("srv");
    ASSERT_TRUE(SaveSiteSettings("srv", repaired));
    EXPECT_EQ(model_test::ReadWhole(path + ".damaged"), secure + "junk\n");
    bool damaged = true;
    EXPECT_EQ(LoadSiteSettings("srv", &damaged).m_protocol, SiteProtocol::FtpExplicitTls);
    EXPECT_FALSE(damaged);
}

TEST(SiteSettingsFile, DefaultsLeaveNoFileAndOddKeysNoPath) {
    model_test::TempAppDir dir;
    CSiteSettings settings;
    settings.m_encoding = NameEncodingChoice::Utf8;
    ASSERT_TRUE(SaveSiteSettings("srv", settings));
    ASSERT_TRUE(SaveSiteSettings("srv", CSiteSettings{}));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/Data/srv"));
    EXPECT_FALSE(SaveSiteSettings("..", settings));
    EXPECT_FALSE(SaveSiteSettings("a/b", settings));
    EXPECT_EQ(LoadSiteSettings("..").m_encoding, NameEncodingChoice::Auto);
}

} // namespace
