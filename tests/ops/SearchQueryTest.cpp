// The search language as data: tests/ops/data/queries.txt holds a few entries and, for each
// query, the entries it must find.
#include "ops/SearchQuery.h"
#include "ops/PinyinInitials.h"
#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

struct Entry {
    std::string id;
    std::string name; // stored bytes
    QueryEntry entry;
    std::string location;
};

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    return fields;
}

const std::map<std::string, QueryError> kErrors = {{"BadSize", QueryError::BadSize},
                                                   {"BadType", QueryError::BadType},
                                                   {"BadRegex", QueryError::BadRegex},
                                                   {"EmptyFilter", QueryError::EmptyFilter}};

TEST(SearchQuery, QueriesAgainstEntries) {
    std::ifstream file(QUARNEL_TEST_SOURCE_DIR "/ops/data/queries.txt");
    ASSERT_TRUE(file) << "queries.txt not found";
    std::vector<Entry> entries;
    std::string line;
    int queries = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = SplitTabs(line);
        if (line[0] == '@') {
            ASSERT_EQ(f.size(), 7u) << line;
            Entry e;
            e.id = f[0].substr(1);
            const bool gbk = f[1] == "gbk";
            e.name = gbk ? Utf8ToNarrow(f[5]) : f[5];
            e.location = f[6];
            e.entry.charset = gbk ? NameCharset::Gbk : NameCharset::Utf8;
            e.entry.isDir = f[2] == "dir";
            e.entry.size = std::stoull(f[3]);
            e.entry.isNew = f[4] == "new";
            entries.push_back(std::move(e));
            continue;
        }
        ++queries;
        const std::string expected = f.size() > 1 ? f[1] : "";
        const CSearchQuery query = CSearchQuery::Parse(f[0]);
        if (!expected.empty() && expected[0] == '!') {
            EXPECT_EQ(query.Error(), kErrors.at(expected.substr(1))) << "query: " << f[0];
            EXPECT_FALSE(query.ErrorText().empty());
            continue;
        }
        ASSERT_TRUE(query.Ok()) << "query: " << f[0] << ": " << query.ErrorText();
        std::string found;
        for (Entry& e : entries) {
            e.entry.name = e.name;
            if (query.Matches(e.entry, [&e] { return e.location; }))
                found += (found.empty() ? "" : " ") + e.id;
        }
        EXPECT_EQ(found, expected) << "query: " << f[0];
    }
    EXPECT_GT(queries, 40);
}

TEST(SearchQuery, SitesByKeyOrNickname) {
    const struct {
        const char* query;
        const char* key;
        const char* nickname;
        bool mayMatch;
    } cases[] = {
        {"site:ftp.example.org", "ftp.example.org", "", true},
        {"site:FTP.example.org", "ftp.example.org", "镜像", true},
        {"site:example", "ftp.example.org", "", false}, // a key is named whole, or by a pattern
        {"site:*.example.org", "ftp.example.org", "", true},
        {"site:镜像 readme", "h@bob", "镜像", true},
        {"-site:镜像", "h@bob", "镜像", false},
        {"-site:镜像", "other", "", true},
        {"readme", "any", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CSearchQuery::Parse(c.query).SiteMayMatch(c.key, c.nickname), c.mayMatch) << c.query;
}

TEST(SearchQuery, KindsAQueryCanFind) {
    EXPECT_FALSE(CSearchQuery::Parse("size:>1G").WantsDirs());
    EXPECT_FALSE(CSearchQuery::Parse("type:dir").WantsFiles());
    EXPECT_TRUE(CSearchQuery::Parse("-type:dir").WantsFiles());
    EXPECT_TRUE(CSearchQuery::Parse("-size:>1G").WantsDirs());
}

// Initials of the first level of GB2312 agree with the syllables of common words, for GBK bytes
// and code points alike; the second level has none.
TEST(PinyinInitials, CommonWords) {
    const struct {
        const char* word;
        const char* initials;
    } cases[] = {
        {"中国电影", "zgdy"},    {"北京上海", "bjsh"}, {"广州", "gz"}, {"音乐视频", "ylsp"},
        {"软件文档", "rjwd"},    {"阿", "a"},          {"座", "z"},    {"哦怕", "op"},
        {"发噶哈", "fgh"},       {"击喀垃", "jkl"},    {"妈拿", "mn"}, {"期然撒", "qrs"},
        {"塌挖昔压匝", "twxyz"},
    };
    for (const auto& c : cases) {
        std::string utf8, gbk;
        AppendPinyinInitials(c.word, true, utf8);
        AppendPinyinInitials(Utf8ToNarrow(c.word), false, gbk);
        EXPECT_EQ(utf8, c.initials) << c.word;
        EXPECT_EQ(gbk, c.initials) << c.word;
    }
    std::string none;
    AppendPinyinInitials("圳", true, none);
    EXPECT_EQ(none, "\x01");
}

} // namespace
