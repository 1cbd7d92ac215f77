// The byte forms of the archive stream: values, strings and counts at their boundaries, object
// tags and the index table, and every way a reader rejects damaged input.
#include "ModelTestSupport.h"
#include "model/DataArchive.h"

#include <gtest/gtest.h>

using model_test::Hex;

namespace {

template <class Writer> std::string Store(Writer write) {
    std::string out;
    CDataArchive ar(&out);
    write(ar);
    ar.Close();
    return out;
}

CArchiveException::Cause CauseOf(const std::string& bytes, void (*read)(CDataArchive&)) {
    CDataArchive ar(bytes.data(), bytes.size());
    try {
        read(ar);
    } catch (const CArchiveException& e) {
        return e.m_cause;
    }
    return CArchiveException::none;
}

void ReadOneString(CDataArchive& ar) {
    ar.ReadString();
}
// Reads objects until the input gives out or is rejected.
void ReadObjects(CDataArchive& ar) {
    for (;;)
        ar.ReadObject();
}

} // namespace

TEST(ArchiveValues, IntegersAreLittleEndian) {
    const std::string bytes = Store([](CDataArchive& ar) {
        ar.WriteByte(0xAB);
        ar.WriteWord(0x1234);
        ar.WriteInt32(-2);
        ar.WriteUInt64(0x0102030405060708ull);
        ar.WriteBool(true);
        ar.WriteBool(false);
    });
    EXPECT_EQ(bytes, Hex("AB 34 12 FE FF FF FF 08 07 06 05 04 03 02 01 01 00"));

    CDataArchive ar(bytes.data(), bytes.size());
    EXPECT_EQ(ar.ReadByte(), 0xAB);
    EXPECT_EQ(ar.ReadWord(), 0x1234);
    EXPECT_EQ(ar.ReadInt32(), -2);
    EXPECT_EQ(ar.ReadUInt64(), 0x0102030405060708ull);
    EXPECT_TRUE(ar.ReadBool());
    EXPECT_FALSE(ar.ReadBool());
    EXPECT_THROW(ar.ReadByte(), CArchiveException);
}

TEST(ArchiveValues, AnyNonZeroByteIsTrue) {
    const std::string bytes = Hex("07");
    CDataArchive ar(bytes.data(), bytes.size());
    EXPECT_TRUE(ar.ReadBool());
}

TEST(ArchiveStrings, PrefixFormAtEachBoundary) {
    struct Case {
        std::size_t length;
        std::string prefix;
    };
    const Case cases[] = {{0, Hex("00")},
                          {254, Hex("FE")},
                          {255, Hex("FF FF 00")},
                          {300, Hex("FF 2C 01")},
                          {65533, Hex("FF FD FF")},
                          {65534, Hex("FF FF FF FE FF 00 00")},
                          {70000, Hex("FF FF FF 70 11 01 00")}};
    for (const Case& c : cases) {
        const std::string text(c.length, 'x');
        const std::string bytes = Store([&](CDataArchive& ar) { ar.WriteString(text); });
        ASSERT_EQ(bytes.size(), c.prefix.size() + c.length) << c.length;
        EXPECT_EQ(bytes.substr(0, c.prefix.size()), c.prefix) << c.length;
        CDataArchive ar(bytes.data(), bytes.size());
        EXPECT_EQ(ar.ReadString(), text) << c.length;
    }
}

TEST(ArchiveStrings, SixtyFourBitLengthIsReadUpToTheLimit) {
    std::string bytes = Hex("FF FF FF FF FF FF FF 03 00 00 00 00 00 00 00") + "abc";
    CDataArchive ar(bytes.data(), bytes.size());
    EXPECT_EQ(ar.ReadString(), "abc");

    const std::string tooLong = Hex("FF FF FF FF FF FF FF 00 00 00 80 00 00 00 00");
    EXPECT_EQ(CauseOf(tooLong, &ReadOneString), CArchiveException::generic);
}

TEST(ArchiveStrings, WideFormIsConvertedToTheNarrowEncoding) {
    // "A中" as UTF-16LE: short wide prefix, then two units.
    std::string bytes = Hex("FF FE FF 02 41 00 2D 4E");
    CDataArchive ar(bytes.data(), bytes.size());
    EXPECT_EQ(ar.ReadString(), "A\xD6\xD0"); // GB18030 of U+4E2D

    // Wide form with a word length.
    std::string wordForm = Hex("FF FE FF FF 01 00 42 00");
    CDataArchive ar2(wordForm.data(), wordForm.size());
    EXPECT_EQ(ar2.ReadString(), "B");
}

TEST(ArchiveStrings, ValueIsCutAtTheFirstZeroByte) {
    std::string bytes = Hex("05 61 62 00 63 64 01 7A");
    CDataArchive ar(bytes.data(), bytes.size());
    EXPECT_EQ(ar.ReadString(), "ab");
    EXPECT_EQ(ar.ReadByte(), 0x01); // the whole length was consumed

    std::string wide = Hex("FF FE FF 03 41 00 00 00 42 00");
    CDataArchive ar2(wide.data(), wide.size());
    EXPECT_EQ(ar2.ReadString(), "A");
}

TEST(ArchiveStrings, LengthPastTheEndIsEndOfDataBeforeAnyAllocation) {
    // A claimed length of 2 GB in a 10-byte input.
    EXPECT_EQ(CauseOf(Hex("FF FF FF FF FF FF 7F 61 62 63"), &ReadOneString), CArchiveException::endOfFile);
    EXPECT_EQ(CauseOf(Hex("05 61 62"), &ReadOneString), CArchiveException::endOfFile);
    EXPECT_EQ(CauseOf(Hex("FF 2C"), &ReadOneString), CArchiveException::endOfFile);
    EXPECT_EQ(CauseOf(Hex("FF FE FF FF FF FF FF FF 7F"), &ReadOneString), CArchiveException::endOfFile);
}

TEST(ArchiveCounts, ShortAndLongForms) {
    EXPECT_EQ(Store([](CDataArchive& ar) { ar.WriteCount(2); }), Hex("02 00"));
    EXPECT_EQ(Store([](CDataArchive& ar) { ar.WriteCount(65534); }), Hex("FE FF"));
    EXPECT_EQ(Store([](CDataArchive& ar) { ar.WriteCount(65535); }), Hex("FF FF FF FF 00 00"));
    EXPECT_EQ(Store([](CDataArchive& ar) { ar.WriteCount(65536); }), Hex("FF FF 00 00 01 00"));
    for (uint32_t count : {0u, 65534u, 65535u, 65536u, 0xFFFFFFFEu}) {
        const std::string bytes = Store([&](CDataArchive& ar) { ar.WriteCount(count); });
        CDataArchive ar(bytes.data(), bytes.size());
        EXPECT_EQ(ar.ReadCount(), count);
    }
}

TEST(ArchiveObjects, ClassIsDescribedOnceThenReferenced) {
    CFTPFile file;
    file.m_strName = "a";
    file.m_nSize = 5;
    const std::string bytes = Store([&](CDataArchive& ar) {
        ar.WriteObject(file);
        ar.WriteObject(file);
    });
    EXPECT_EQ(bytes, Hex("FF FF 01 00 08 00 43 46 54 50 46 69 6C 65 05 00 00 00 00 00 00 00 01 61 "
                         "01 80 05 00 00 00 00 00 00 00 01 61"));
    CDataArchive ar(bytes.data(), bytes.size());
    for (int i = 0; i < 2; ++i) {
        auto object = ar.ReadObject();
        ASSERT_EQ(object->GetClassRecord(), &CFTPFile::classCFTPFile);
        EXPECT_EQ(static_cast<CFTPFile*>(object.get())->m_strName, "a");
    }
}

// The class that takes index `classIndex` is referenced by the tag `expectedTag` the second time.
void CheckClassAtIndex(uint32_t classIndex, const std::string& expectedTag) {
    CFTPFile file;
    CFTPDir dir;
    // The file class takes index 1 and each file object one more; the directory class comes next.
    const uint32_t files = classIndex - 2;
    const std::string bytes = Store([&](CDataArchive& ar) {
        for (uint32_t i = 0; i < files; ++i)
            ar.WriteObject(file);
        ar.WriteObject(dir);
        ar.WriteObject(dir);
    });
    const std::string emptyDirBody = Hex("00 00 00 00 00");
    EXPECT_EQ(bytes.substr(bytes.size() - expectedTag.size() - emptyDirBody.size()),
              expectedTag + emptyDirBody);

    CDataArchive ar(bytes.data(), bytes.size());
    for (uint32_t i = 0; i < files; ++i)
        ASSERT_EQ(ar.ReadObject()->GetClassRecord(), &CFTPFile::classCFTPFile);
    EXPECT_EQ(ar.ReadObject()->GetClassRecord(), &CFTPDir::classCFTPDir);
    EXPECT_EQ(ar.ReadObject()->GetClassRecord(), &CFTPDir::classCFTPDir);
    EXPECT_THROW(ar.ReadByte(), CArchiveException);
}

TEST(ArchiveObjects, ClassIndex7FFEUsesTheShortTag) {
    CheckClassAtIndex(0x7FFE, Hex("FE FF"));
}

TEST(ArchiveObjects, ClassIndex7FFFUsesTheExtendedTag) {
    CheckClassAtIndex(0x7FFF, Hex("FF 7F FF 7F 00 80"));
}

TEST(ArchiveObjects, DamagedTagsAndDescriptions) {
    const std::string fileBody = Hex("05 00 00 00 00 00 00 00 01 61");
    const std::string fileClass = Hex("FF FF 01 00 08 00 43 46 54 50 46 69 6C 65");
    struct Case {
        const char* what;
        std::string bytes;
        CArchiveException::Cause cause;
    };
    const Case cases[] = {
        {"null tag", Hex("00 00"), CArchiveException::badIndex},
        {"object reference", Hex("01 00"), CArchiveException::badIndex},
        {"extended object reference", Hex("FF 7F 05 00 00 00"), CArchiveException::badIndex},
        {"class index 0", Hex("00 80"), CArchiveException::badIndex},
        {"class not yet described", Hex("01 80"), CArchiveException::badIndex},
        {"index of an object, not a class", fileClass + fileBody + Hex("02 80"), CArchiveException::badIndex},
        {"extended index past the end", Hex("FF 7F 00 00 01 80"), CArchiveException::badIndex},
        {"unknown class", Hex("FF FF 01 00 08 00 43 46 54 50 46 69 6C 66"), CArchiveException::badClass},
        {"class name 64 bytes", Hex("FF FF 01 00 40 00") + std::string(64, 'C'), CArchiveException::badClass},
        {"class name cut short", Hex("FF FF 01 00 08 00 43 46 54"), CArchiveException::badClass},
        {"wrong schema", Hex("FF FF 02 00 07 00 43 46 54 50 44 69 72"), CArchiveException::badSchema},
        {"body cut short", fileClass + fileBody.substr(0, 4), CArchiveException::endOfFile},
        {"tag cut short", Hex("FF"), CArchiveException::endOfFile},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CauseOf(c.bytes, &ReadObjects), c.cause) << c.what;
}

TEST(ArchiveObjects, TwoDescriptionsOfOneClassBothResolve) {
    // A writer may describe the same class again; each description takes its own index.
    const std::string body = Hex("00 00 00 00 00");
    const std::string description = Hex("FF FF 01 00 07 00 43 46 54 50 44 69 72");
    const std::string bytes =
        description + body + description + body + Hex("03 80") + body + Hex("01 80") + body;
    CDataArchive ar(bytes.data(), bytes.size());
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ar.ReadObject()->GetClassRecord(), &CFTPDir::classCFTPDir);
}

TEST(ArchiveFile, ReadsThroughTheBufferAcrossRefills) {
    model_test::TempAppDir dir;
    const std::string path = dir.Path() + "/values";
    std::string expected;
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        CDataArchive ar(fileno(f), CDataArchive::store, path);
        for (int i = 0; i < 3000; ++i) {
            ar.WriteUInt32(static_cast<uint32_t>(i));
            ar.WriteString(std::string(static_cast<std::size_t>(i % 7000), static_cast<char>('a' + i % 26)));
        }
        ar.Close();
        std::fclose(f);
    }
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    CDataArchive ar(fileno(f), CDataArchive::load, path);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(ar.ReadUInt32(), static_cast<uint32_t>(i));
        ASSERT_EQ(ar.ReadString(),
                  std::string(static_cast<std::size_t>(i % 7000), static_cast<char>('a' + i % 26)));
    }
    EXPECT_THROW(ar.ReadByte(), CArchiveException);
    std::fclose(f);
}
