#include "ui/FileListModel.h"

#include "model/Records.h"
#include "ops/Location.h"
#include "ops/ShownText.h"
#include "ui/EntryAncestry.h"
#include "ui/FormatSize.h"

#include <QApplication>
#include <QPalette>

const char* const CFileListModel::kWelcomeTexts[4] = {
    "欢迎使用Quarnel!",
    "点击增加可以添加站点",
    "点击更新可以更新站点",
    "选择左边站点可以查看站点内容",
};

namespace {
QString Q(const std::string& utf8) {
    return QString::fromStdString(utf8);
}
} // namespace

CFileListModel::CFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

CFileListModel::Row CFileListModel::DirRowOf(CFTPDir* dir) {
    return Row{dir, kDirRow, dir->m_bNew == 1};
}

CFileListModel::Row CFileListModel::FileRowOf(CFTPFile* file) {
    return Row{file, kFileRow, file->m_bNew == 1};
}

bool CFileListModel::IsStillNew(const Row& row) {
    if (row.kind == kDirRow)
        return static_cast<CFTPDir*>(row.entry)->m_bNew == 1;
    if (row.kind == kFileRow)
        return static_cast<CFTPFile*>(row.entry)->m_bNew == 1;
    return false;
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

CFTPDir* CFileListModel::DirAt(int row) const {
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    return r.kind == kDirRow ? static_cast<CFTPDir*>(r.entry) : nullptr;
}

CFTPFile* CFileListModel::FileAt(int row) const {
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    return r.kind == kFileRow ? static_cast<CFTPFile*>(r.entry) : nullptr;
}

std::string CFileListModel::LocationAt(int row) const {
    if (CFTPDir* dir = DirAt(row))
        return GetLocation(dir);
    if (CFTPFile* file = FileAt(row))
        return GetLocation(file);
    return {};
}

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()))
        return {};
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    const int column = index.column();

    if (row.kind == kWelcomeRow) {
        if (role == Qt::DisplayRole && column == kColumnName)
            return QString::fromUtf8(kWelcomeTexts[reinterpret_cast<std::uintptr_t>(row.entry)]);
        return {};
    }

    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (role == Qt::ToolTipRole && column != kColumnLocation)
            return {};
        if (row.kind == kDirRow) {
            auto* dir = static_cast<CFTPDir*>(row.entry);
            if (column == kColumnName)
                return Q(ShownName(dir));
            if (column == kColumnSize)
                return QStringLiteral("0");
            return Q(ShownLocation(dir));
        } else {
            auto* file = static_cast<CFTPFile*>(row.entry);
            if (column == kColumnName)
                return Q(ShownName(file));
            if (column == kColumnSize)
                return FormatSize(file->m_nSize);
            return Q(ShownLocation(file));
        }
    case Qt::DecorationRole:
        if (column != kColumnName)
            return {};
        if (row.kind == kDirRow)
            return m_icons.Folder();
        return m_icons.ForName(static_cast<CFTPFile*>(row.entry)->m_strName);
    case Qt::BackgroundRole:
        if (row.highlight)
            return QApplication::palette().brush(QPalette::Active, QPalette::Highlight);
        return {};
    case Qt::ForegroundRole:
        if (row.highlight)
            return QApplication::palette().brush(QPalette::Active, QPalette::HighlightedText);
        return {};
    default:
        return {};
    }
}

QVariant CFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kColumnName:
        return QStringLiteral("文件");
    case kColumnSize:
        return QStringLiteral("大小");
    case kColumnLocation:
        return QStringLiteral("地址");
    default:
        return {};
    }
}

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void CFileListModel::ShowWelcome() {
    beginResetModel();
    m_rows.clear();
    for (std::uintptr_t i = 0; i < 4; ++i)
        m_rows.push_back(Row{reinterpret_cast<void*>(i), kWelcomeRow, false});
    m_nDirRows = m_nFileRows = 0;
    endResetModel();
}

void CFileListModel::Clear() {
    beginResetModel();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_nDirRows = m_nFileRows = 0;
    endResetModel();
}

void CFileListModel::Reset(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files) {
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(dirs.size() + files.size());
    for (CFTPDir* dir : dirs)
        m_rows.push_back(DirRowOf(dir));
    for (CFTPFile* file : files)
        m_rows.push_back(FileRowOf(file));
    m_nDirRows = static_cast<int>(dirs.size());
    m_nFileRows = static_cast<int>(files.size());
    endResetModel();
}

void CFileListModel::AppendDir(CFTPDir* dir) {
    if (m_nDirRows + m_nFileRows != static_cast<int>(m_rows.size()))
        Clear(); // welcome rows go when the first result arrives
    const int at = m_nDirRows;
    beginInsertRows(QModelIndex(), at, at);
    m_rows.insert(m_rows.begin() + at, DirRowOf(dir));
    ++m_nDirRows;
    endInsertRows();
}

void CFileListModel::AppendFile(CFTPFile* file) {
    if (m_nDirRows + m_nFileRows != static_cast<int>(m_rows.size()))
        Clear();
    const int at = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), at, at);
    m_rows.push_back(FileRowOf(file));
    ++m_nFileRows;
    endInsertRows();
}

void CFileListModel::ClearHighlightsFrom(int first) {
    const int count = static_cast<int>(m_rows.size());
    int changedFirst = -1, changedLast = -1;
    for (int i = std::max(first, 0); i < count; ++i) {
        Row& row = m_rows[static_cast<std::size_t>(i)];
        // While search results are shown the rows past the browsed directories are not the
        // files just marked read: an entry that is still new keeps its highlight.
        if (row.highlight && !IsStillNew(row)) {
            row.highlight = false;
            if (changedFirst < 0)
                changedFirst = i;
            changedLast = i;
        }
    }
    if (changedFirst >= 0)
        emit dataChanged(index(changedFirst, 0), index(changedLast, kColumnCount - 1));
}

void CFileListModel::RefreshHighlights() {
    for (Row& row : m_rows)
        row.highlight = IsStillNew(row);
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(static_cast<int>(m_rows.size()) - 1, kColumnCount - 1));
}

int CFileListModel::RemoveEntry(const CObject* entry) {
    auto matches = [entry](const Row& row) {
        if (row.kind == kDirRow)
            return IsDirAtOrBelow(static_cast<const CFTPDir*>(row.entry), entry);
        if (row.kind == kFileRow)
            return IsFileAtOrBelow(static_cast<const CFTPFile*>(row.entry), entry);
        return false;
    };
    // Remove runs of matching rows from the end, so earlier indices stay valid.
    int removed = 0;
    int i = static_cast<int>(m_rows.size()) - 1;
    while (i >= 0) {
        if (!matches(m_rows[static_cast<std::size_t>(i)])) {
            --i;
            continue;
        }
        int last = i;
        while (i - 1 >= 0 && matches(m_rows[static_cast<std::size_t>(i - 1)]))
            --i;
        int dirsInRun = 0;
        for (int k = i; k <= last; ++k)
            if (m_rows[static_cast<std::size_t>(k)].kind == kDirRow)
                ++dirsInRun;
        beginRemoveRows(QModelIndex(), i, last);
        m_rows.erase(m_rows.begin() + i, m_rows.begin() + last + 1);
        m_nDirRows -= dirsInRun;
        m_nFileRows -= (last - i + 1) - dirsInRun;
        endRemoveRows();
        removed += last - i + 1;
        --i;
    }
    return removed;
}
