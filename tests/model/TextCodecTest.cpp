// The narrow encoding: typed text to GB18030, stored bytes to UTF-8 for display, wide strings.
#include "platform/TextCodec.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(TextCodec, TypedTextBecomesGb18030) {
    EXPECT_EQ(Utf8ToNarrow("abc"), "abc");
    EXPECT_EQ(Utf8ToNarrow("中文"), "\xD6\xD0\xCE\xC4");
    // A character outside GBK survives through GB18030's four-byte form.
    EXPECT_EQ(NarrowToUtf8(Utf8ToNarrow("😀")), "😀");
}

TEST(TextCodec, DisplayKeepsUtf8AndDecodesTheRest) {
    EXPECT_EQ(NarrowToUtf8("中文.txt"), "中文.txt");
    EXPECT_EQ(NarrowToUtf8("\xD6\xD0\xCE\xC4.txt"), "中文.txt");
    // Undecodable bytes become U+FFFD, the rest is kept.
    EXPECT_EQ(NarrowToUtf8("a\x80z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(NarrowToUtf8("a\xD6"), "a\xEF\xBF\xBD");
    EXPECT_EQ(NarrowToUtf8(""), "");
}

TEST(TextCodec, Utf8Validity) {
    EXPECT_TRUE(IsValidUtf8("plain"));
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xE4\xB8"));         // cut short
}

TEST(TextCodec, WideTextToNarrow) {
    EXPECT_EQ(Utf16LeToNarrow(std::string("A\0-N", 4)), "A\xD6\xD0");
    // A lone surrogate does not stop the conversion.
    const std::string narrow = Utf16LeToNarrow(std::string("\x00\xD8"
                                                           "B\0",
                                                           4));
    EXPECT_EQ(narrow.back(), 'B');
    EXPECT_EQ(Utf16LeToNarrow(std::string("C\0\x01", 3)), "C"); // odd trailing byte dropped
}

TEST(TextCodec, ThreadsConvertIndependently) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                if (NarrowToUtf8("\xD6\xD0\xCE\xC4") != "中文" || Utf8ToNarrow("中文") != "\xD6\xD0\xCE\xC4")
                    ++wrong;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}
