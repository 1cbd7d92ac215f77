// Persist of the three record classes: the byte layout of site.ds and content.ct.
#include "model/DataArchive.h"
#include "model/Records.h"

#include <vector>

void CFTPSite::Persist(CDataArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteString(m_strHost);
        ar.WriteString(m_strPassword);
        ar.WriteString(m_strUser);
        ar.WriteInt32(m_nPort);
        ar.WriteBool(m_bAnonymousUpdate != 0);
        ar.WriteString(m_strNickname);
        ar.WriteString(m_strRemark);
    } else {
        ar.ReadString(m_strHost);
        ar.ReadString(m_strPassword);
        ar.ReadString(m_strUser);
        m_nPort = ar.ReadInt32();
        m_bAnonymousUpdate = ar.ReadBool() ? 1 : 0;
        ar.ReadString(m_strNickname);
        ar.ReadString(m_strRemark);
    }
}

void CFTPFile::Persist(CDataArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteUInt64(m_nSize);
        ar.WriteString(m_strName);
    } else {
        m_nSize = ar.ReadUInt64();
        std::string scratch;
        m_strName = ar.ReadStringView(scratch);
    }
}

namespace {

// A directory's body is its name, its sub-directory list (each an object with a body of its own,
// recursively) and its file list. Both directions keep their own stack of open directories
// instead of recursing, so that the depth of a tree never reaches the call stack.
struct DirFrame {
    CFTPDir* dir;
    std::size_t pending; // storing: next sub-directory to write; loading: sub-directories left
};

void WriteFiles(CDataArchive& ar, const CFTPDir& dir) {
    ar.WriteCount(dir.m_files.GetCount());
    for (CFTPFile* file : dir.m_files) {
        ar.WriteObjectTag(CFTPFile::classCFTPFile);
        ar.WriteUInt64(file->m_nSize);
        ar.WriteString(file->m_strName);
    }
}

void StoreDirBody(CDataArchive& ar, CFTPDir& top) {
    std::vector<DirFrame> stack;
    ar.WriteString(top.m_strName);
    ar.WriteCount(top.m_subDirs.GetCount());
    stack.push_back({&top, 0});
    while (!stack.empty()) {
        DirFrame& frame = stack.back();
        if (frame.pending < frame.dir->m_subDirs.GetCount()) {
            CFTPDir* child = frame.dir->m_subDirs.GetAt(frame.pending++);
            ar.WriteObjectTag(CFTPDir::classCFTPDir);
            ar.WriteString(child->m_strName);
            ar.WriteCount(child->m_subDirs.GetCount());
            stack.push_back({child, 0});
            continue;
        }
        WriteFiles(ar, *frame.dir);
        stack.pop_back();
    }
}

// Every node is linked into its directory as soon as it is complete enough to stand alone (a
// directory once its name is read, a file once its body is read), so whatever was read before a
// fault stays in the tree.
// Fewest bytes a file takes in content.ct: a class reference, the size and an empty name.
constexpr uint64_t kMinFileBytes = 2 + 8 + 1;
// And a directory: a class reference, an empty name and two counts.
constexpr uint64_t kMinDirBytes = 2 + 1 + 2 + 2;

// Sizes a list at once as ReadFiles does, when the rest of the input can hold that many entries.
template <class T> void ReserveFor(CDataArchive& ar, CObList<T>& list, uint32_t count, uint64_t minBytes) {
    if (count > 1 && list.IsEmpty() && count <= ar.BytesLeft() / minBytes)
        list.Reserve(count);
}

void ReadFiles(CDataArchive& ar, CFTPDir& dir, std::string& scratch) {
    uint32_t count = ar.ReadCount();
    // A list is sized at once only when the rest of the input can hold that many entries, so a
    // false count never costs more memory than the input is long; a true one leaves no slack.
    ReserveFor(ar, dir.m_files, count, kMinFileBytes);
    for (; count > 0; --count) {
        if (ar.ReadObjectTag() != &CFTPFile::classCFTPFile)
            throw CArchiveException(CArchiveException::badClass);
        auto file = std::make_unique<CFTPFile>();
        file->m_nSize = ar.ReadUInt64();
        file->m_strName = ar.ReadStringView(scratch);
        dir.AddFile(std::move(file));
    }
}

void LoadDirBody(CDataArchive& ar, CFTPDir& top) {
    std::vector<DirFrame> stack;
    std::string scratch; // names too long for the read buffer
    top.m_strName = ar.ReadStringView(scratch);
    stack.push_back({&top, ar.ReadCount()});
    ReserveFor(ar, top.m_subDirs, static_cast<uint32_t>(stack.back().pending), kMinDirBytes);
    while (!stack.empty()) {
        DirFrame& frame = stack.back();
        if (frame.pending > 0) {
            --frame.pending;
            CFTPDir* parent = frame.dir;
            if (ar.ReadObjectTag() != &CFTPDir::classCFTPDir)
                throw CArchiveException(CArchiveException::badClass);
            if (stack.size() > kMaxTreeDepth)
                throw CArchiveException(CArchiveException::generic);
            auto owned = std::make_unique<CFTPDir>();
            owned->m_strName = ar.ReadStringView(scratch);
            CFTPDir* child = parent->AddSubDir(std::move(owned));
            const uint32_t count = ar.ReadCount();
            ReserveFor(ar, child->m_subDirs, count, kMinDirBytes);
            stack.push_back({child, count});
            continue;
        }
        ReadFiles(ar, *frame.dir, scratch);
        stack.pop_back();
    }
}

} // namespace

void CFTPDir::Persist(CDataArchive& ar) {
    if (ar.IsStoring())
        StoreDirBody(ar, *this);
    else
        LoadDirBody(ar, *this);
}
