#include "ui/FileListModel.h"

#include "model/Records.h"
#include "ops/Location.h"
#include "ops/ShownText.h"
#include "ui/EntryAncestry.h"
#include "ui/FormatSize.h"

#include <QApplication>
#include <QCollator>
#include <QLocale>
#include <QPalette>

#include <algorithm>
#include <exception>
#include <mutex>
#include <numeric>
#include <system_error>
#include <type_traits>
#include <unordered_set>

const char* const CFileListModel::kWelcomeTexts[4] = {
    "欢迎使用Quarnel!",
    "点击增加可以添加站点",
    "点击更新可以更新站点",
    "选择左边站点可以查看站点内容",
};

namespace {
// Names and locations come from servers: shown without their controls.
QString Q(const std::string& utf8) {
    return QString::fromStdString(DisplaySafe(utf8));
}

// Calls visit(i) for i in [first, end) holding the tree lock of the site of entryAt(i): an update
// changes sizes and marks under it. Entries of one directory share the lookup, runs of one site
// the lock.
template <class EntryAt, class Visit>
void VisitLocked(std::size_t first, std::size_t end, EntryAt entryAt, Visit visit) {
    const CFTPDir* parent = nullptr;
    const CFTPSite* site = nullptr;
    const CFTPSite* held = nullptr;
    std::unique_lock<std::recursive_mutex> lock;
    for (std::size_t i = first; i < end; ++i) {
        const auto* entry = entryAt(i);
        if (!entry->m_pParent || entry->m_pParent != parent) {
            parent = entry->m_pParent;
            site = entry->GetSite();
        }
        if (site != held || !lock.owns_lock()) {
            lock = std::unique_lock<std::recursive_mutex>();
            lock = LockTree(site);
            held = site;
        }
        visit(i);
    }
}
// Thrown inside a sort's thread when the sort is given up.
struct SortCancelled {};

// Throws SortCancelled once `cancelled` is set; looked at every so many calls.
class CancelCheck {
public:
    explicit CancelCheck(const std::atomic<bool>* cancelled) : m_cancelled(cancelled) {}
    void operator()() {
        if (m_cancelled && (++m_calls & 1023u) == 0 && m_cancelled->load(std::memory_order_relaxed))
            throw SortCancelled{};
    }

private:
    const std::atomic<bool>* m_cancelled;
    uint32_t m_calls = 0;
};
} // namespace

// What a sort's thread works on: copies of the rows (the records they refer to stay while it
// runs: a change of the rows gives it up and waits for it first), and its result.
struct CFileListModel::SortJob {
    int column = -1;
    bool descending = false;
    bool ranked = false; // the rows' ranks are for this column
    SitePrefixes prefixes;
    std::vector<DirRow> dirs;
    std::vector<FileRow> files;
    std::atomic<bool> cancelled{false};
    bool failed = false;
    std::vector<uint32_t> dirOrder, fileOrder;
};

template <class T>
void CFileListModel::AppendRowsOf(std::vector<Row<T>>& rows, const std::vector<T*>& entries, std::size_t from,
                                  uint32_t& seq) {
    // Grown by doubling: rows come in many batches, and a reserve of the exact size would copy
    // every row at each batch.
    const std::size_t need = rows.size() + (entries.size() - from);
    if (need > rows.capacity())
        rows.reserve(std::max(need, 2 * rows.capacity()));
    VisitLocked(
        from, entries.size(), [&entries](std::size_t i) { return entries[i]; },
        [&](std::size_t i) {
            if constexpr (std::is_same_v<T, CFTPFile>)
                rows.push_back(FileRowOf(entries[i], seq++));
            else
                rows.push_back(DirRowOf(entries[i], seq++));
        });
}

CFileListModel::CFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

CFileListModel::~CFileListModel() {
    // Without a word to the views: they may be going too.
    if (m_pSortJob)
        m_pSortJob->cancelled = true;
    if (m_sortThread.joinable())
        m_sortThread.join();
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(m_textRows.size()) + static_cast<int>(m_dirRows.size() + m_fileRows.size());
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

CFileListModel::RowKind CFileListModel::KindAt(int row) const {
    if (row < static_cast<int>(m_textRows.size()))
        return kWelcomeRow;
    return row < static_cast<int>(m_dirRows.size()) ? kDirRow : kFileRow;
}

CFTPDir* CFileListModel::DirAt(int row) const {
    if (!m_textRows.isEmpty() || row < 0 || row >= static_cast<int>(m_dirRows.size()))
        return nullptr;
    return m_dirRows[static_cast<std::size_t>(row)].entry;
}

CFTPFile* CFileListModel::FileAt(int row) const {
    const int index = row - static_cast<int>(m_dirRows.size());
    if (!m_textRows.isEmpty() || index < 0 || index >= static_cast<int>(m_fileRows.size()))
        return nullptr;
    return m_fileRows[static_cast<std::size_t>(index)].entry;
}

bool CFileListModel::IsHighlighted(int row) const {
    if (KindAt(row) == kWelcomeRow)
        return false;
    if (row < static_cast<int>(m_dirRows.size()))
        return m_dirRows[static_cast<std::size_t>(row)].highlight;
    return m_fileRows[static_cast<std::size_t>(row) - m_dirRows.size()].highlight;
}

std::string CFileListModel::LocationAt(int row) const {
    if (CFTPDir* dir = DirAt(row))
        return GetLocation(dir);
    if (CFTPFile* file = FileAt(row))
        return GetLocation(file);
    return {};
}

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const int column = index.column();
    if (index.row() < static_cast<int>(m_textRows.size())) {
        if (role == Qt::DisplayRole && column == kColumnName)
            return m_textRows[index.row()];
        return {};
    }
    CFTPDir* const dir = DirAt(index.row());
    CFTPFile* const file = dir ? nullptr : FileAt(index.row());
    const bool highlight = IsHighlighted(index.row());

    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (role == Qt::ToolTipRole && column != kColumnLocation)
            return {};
        if (dir) {
            if (column == kColumnName)
                return Q(ShownName(dir));
            if (column == kColumnSize)
                return QStringLiteral("0");
            return Q(ShownLocation(dir));
        } else {
            if (column == kColumnName)
                return Q(ShownName(file));
            if (column == kColumnSize)
                return FormatSize(m_fileRows[static_cast<std::size_t>(index.row()) - m_dirRows.size()].size);
            return Q(ShownLocation(file));
        }
    case Qt::DecorationRole:
        if (column != kColumnName)
            return {};
        if (dir)
            return m_icons.Folder();
        return m_icons.ForName(file->m_strName);
    case Qt::BackgroundRole:
        if (highlight)
            return QApplication::palette().brush(QPalette::Active, QPalette::Highlight);
        return {};
    case Qt::ForegroundRole:
        if (highlight)
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
    QStringList texts;
    for (const char* text : kWelcomeTexts)
        texts << QString::fromUtf8(text);
    ShowTextRows(texts);
}

void CFileListModel::ShowTextRows(const QStringList& texts) {
    CancelSort();
    m_nRankColumn = -1;
    beginResetModel();
    m_dirRows.clear();
    m_fileRows.clear();
    m_nextDirSeq = m_nextFileSeq = 0;
    m_bUnsorted = false;
    m_textRows = texts;
    endResetModel();
}

void CFileListModel::Clear() {
    CancelSort();
    m_nRankColumn = -1;
    beginResetModel();
    m_textRows.clear();
    m_dirRows.clear();
    m_dirRows.shrink_to_fit();
    m_fileRows.clear();
    m_fileRows.shrink_to_fit();
    m_nextDirSeq = m_nextFileSeq = 0;
    m_bUnsorted = false;
    endResetModel();
}

void CFileListModel::Reset(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files) {
    CancelSort();
    m_nRankColumn = -1;
    beginResetModel();
    m_textRows.clear();
    m_dirRows.clear();
    m_nextDirSeq = 0;
    AppendRowsOf(m_dirRows, dirs, 0, m_nextDirSeq);
    m_fileRows.clear();
    m_nextFileSeq = 0;
    AppendRowsOf(m_fileRows, files, 0, m_nextFileSeq);
    // Listed in the lists' order: a long list shows so until its sort is done.
    m_bUnsorted = false;
    const bool background = m_nSortColumn >= 0 && SortsInBackground();
    if (!background && m_nSortColumn >= 0)
        ApplySort(false);
    endResetModel();
    if (background)
        ApplySort(true);
}

void CFileListModel::LeaveWelcome() {
    if (!m_textRows.isEmpty())
        Clear(); // welcome rows go when the first result arrives
}

void CFileListModel::AppendDir(CFTPDir* dir) {
    LeaveWelcome();
    const bool gaveUp = CancelSort();
    const int at = DirRowCount();
    auto lock = LockTree(dir->GetSite());
    beginInsertRows(QModelIndex(), at, at);
    m_dirRows.push_back(DirRowOf(dir, m_nextDirSeq++));
    RowsAppended(gaveUp);
    endInsertRows();
}

void CFileListModel::AppendFile(CFTPFile* file) {
    LeaveWelcome();
    const bool gaveUp = CancelSort();
    const int at = rowCount();
    auto lock = LockTree(file->GetSite());
    beginInsertRows(QModelIndex(), at, at);
    m_fileRows.push_back(FileRowOf(file, m_nextFileSeq++));
    RowsAppended(gaveUp);
    endInsertRows();
}

int CFileListModel::AppendTails(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files) {
    LeaveWelcome();
    const bool gaveUp = (dirs.size() > m_dirRows.size() || files.size() > m_fileRows.size()) && CancelSort();
    int added = 0;
    if (dirs.size() > m_dirRows.size()) {
        const int first = DirRowCount();
        const int count = static_cast<int>(dirs.size() - m_dirRows.size());
        beginInsertRows(QModelIndex(), first, first + count - 1);
        AppendRowsOf(m_dirRows, dirs, m_dirRows.size(), m_nextDirSeq);
        RowsAppended(gaveUp);
        endInsertRows();
        added += count;
    }
    if (files.size() > m_fileRows.size()) {
        const int first = rowCount();
        const int count = static_cast<int>(files.size() - m_fileRows.size());
        beginInsertRows(QModelIndex(), first, first + count - 1);
        AppendRowsOf(m_fileRows, files, m_fileRows.size(), m_nextFileSeq);
        RowsAppended(gaveUp);
        endInsertRows();
        added += count;
    }
    return added;
}

void CFileListModel::ClearHighlightsFrom(int first) {
    const int count = rowCount();
    int changedFirst = -1, changedLast = -1;
    // While search results are shown the rows past the browsed directories are not the files
    // just marked read: an entry that is still new keeps its highlight.
    auto clearIfRead = [&](auto& row, int i) {
        if (row.highlight && row.entry->m_bNew != 1) {
            row.highlight = false;
            m_bRowsEdited = true;
            if (changedFirst < 0)
                changedFirst = i;
            changedLast = i;
        }
    };
    const std::size_t start = static_cast<std::size_t>(std::max(first, static_cast<int>(m_textRows.size())));
    const std::size_t dirs = m_dirRows.size();
    if (start < dirs)
        VisitLocked(
            start, dirs, [this](std::size_t i) { return m_dirRows[i].entry; },
            [&](std::size_t i) { clearIfRead(m_dirRows[i], static_cast<int>(i)); });
    if (static_cast<int>(start) < count)
        VisitLocked(
            std::max(start, dirs) - dirs, m_fileRows.size(),
            [this](std::size_t i) { return m_fileRows[i].entry; },
            [&](std::size_t i) { clearIfRead(m_fileRows[i], static_cast<int>(dirs + i)); });
    if (changedFirst >= 0)
        emit dataChanged(index(changedFirst, 0), index(changedLast, kColumnCount - 1));
}

void CFileListModel::RefreshHighlights() {
    m_bRowsEdited = true;
    VisitLocked(
        0, m_dirRows.size(), [this](std::size_t i) { return m_dirRows[i].entry; },
        [this](std::size_t i) { m_dirRows[i].highlight = m_dirRows[i].entry->m_bNew == 1; });
    VisitLocked(
        0, m_fileRows.size(), [this](std::size_t i) { return m_fileRows[i].entry; },
        [this](std::size_t i) { m_fileRows[i].highlight = m_fileRows[i].entry->m_bNew == 1; });
    if (rowCount() > static_cast<int>(m_textRows.size()))
        emit dataChanged(index(static_cast<int>(m_textRows.size()), 0),
                         index(rowCount() - 1, kColumnCount - 1));
}

void CFileListModel::RefreshSizes(const CFTPSite* site) {
    int changedFirst = -1, changedLast = -1;
    const int dirs = DirRowCount();
    VisitLocked(
        0, m_fileRows.size(), [this](std::size_t i) { return m_fileRows[i].entry; },
        [&](std::size_t i) {
            FileRow& row = m_fileRows[i];
            if (row.size == row.entry->m_nSize || row.entry->GetSite() != site)
                return;
            row.size = row.entry->m_nSize;
            m_bRowsEdited = true;
            if (changedFirst < 0)
                changedFirst = dirs + static_cast<int>(i);
            changedLast = dirs + static_cast<int>(i);
        });
    if (changedFirst >= 0) {
        emit dataChanged(index(changedFirst, kColumnSize), index(changedLast, kColumnSize));
        if (m_nSortColumn == kColumnSize)
            ApplySort(true);
    }
}

// Removes the rows of one group (whose first row has the index `first`) whose entry is gone.
// Few runs are removed one by one, from the end so that earlier indices stay valid; many (a whole
// site's rows among search results) in one pass under a reset.
template <class T, class Gone>
int CFileListModel::RemoveFrom(std::vector<Row<T>>& rows, int first, Gone&& gone) {
    constexpr std::size_t kMaxRuns = 64;
    std::vector<std::pair<int, int>> runs; // [from, to) in `rows`
    const int count = static_cast<int>(rows.size());
    for (int i = 0; i < count;) {
        if (!gone(rows[static_cast<std::size_t>(i)].entry)) {
            ++i;
            continue;
        }
        int end = i + 1;
        while (end < count && gone(rows[static_cast<std::size_t>(end)].entry))
            ++end;
        runs.emplace_back(i, end);
        i = end;
    }
    if (runs.empty())
        return 0;
    // A sort running in its thread has the old rows: it starts over once they are gone.
    m_bRestartSort = CancelSort() || m_bRestartSort;
    if (runs.size() > kMaxRuns) {
        beginResetModel();
        std::erase_if(rows, [&gone](const Row<T>& row) { return gone(row.entry); });
        endResetModel();
        return count - static_cast<int>(rows.size());
    }
    int removed = 0;
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        beginRemoveRows(QModelIndex(), first + run->first, first + run->second - 1);
        rows.erase(rows.begin() + run->first, rows.begin() + run->second);
        endRemoveRows();
        removed += run->second - run->first;
    }
    return removed;
}

int CFileListModel::RemoveEntry(const CObject* entry) {
    // Only compared: the entry may be gone already.
    return RemoveRows({entry}, {}, false);
}

int CFileListModel::RemoveEntries(const std::vector<std::pair<const CObject*, EntryKind>>& entries) {
    std::unordered_set<const CObject*> going;
    std::unordered_set<const CFTPDir*> lostFiles;
    for (const auto& [entry, kind] : entries) {
        going.insert(entry);
        if (kind == kEntryFile)
            lostFiles.insert(static_cast<const CFTPFile*>(entry)->m_pParent);
    }
    return RemoveRows(going, lostFiles, true);
}

int CFileListModel::RemoveRows(const std::unordered_set<const CObject*>& going,
                               const std::unordered_set<const CFTPDir*>& lostFiles, bool kindsKnown) {
    if (!m_textRows.isEmpty() || going.empty())
        return 0;
    // Whether a directory is going or lies below one that is; rows of one directory mostly follow
    // each other, so the answer for the last one is kept.
    const CFTPDir* lastDir = nullptr;
    bool lastBelow = false;
    auto below = [&](const CFTPDir* dir) {
        if (dir != lastDir) {
            lastDir = dir;
            lastBelow = false;
            for (const CFTPDir* d = dir; d && !lastBelow; d = d->m_pParent)
                lastBelow = going.count(d) != 0;
        }
        return lastBelow;
    };
    // A going file is looked up only among the rows of a directory that lost one.
    const CFTPDir* lastParent = nullptr;
    bool parentBelow = false, parentLost = false;
    auto fileGone = [&](const CFTPFile* file) {
        if (file->m_pParent != lastParent || !lastParent) {
            lastParent = file->m_pParent;
            parentBelow = below(lastParent);
            parentLost = !kindsKnown || lostFiles.count(lastParent) != 0;
        }
        return parentBelow || (parentLost && going.count(file) != 0);
    };
    // File rows first: they follow the directory rows, whose indices stay valid meanwhile.
    m_bRestartSort = false;
    const int files = RemoveFrom(m_fileRows, DirRowCount(), fileGone);
    lastDir = nullptr;
    const int removed = files + RemoveFrom(m_dirRows, 0, [&](const CFTPDir* dir) {
                            return going.count(dir) != 0 || below(dir->m_pParent);
                        });
    if (m_bRestartSort) {
        m_bRestartSort = false;
        ApplySort(true);
    }
    return removed;
}

// Called before the views hear of the rows, so that they know the rows are not in order yet. A
// sort that ran in its thread did not know them: it was given up (`gaveUp`, before the rows went
// in), and the rows are sorted again when the view sees fit (as after any rows appended).
void CFileListModel::RowsAppended(bool gaveUp) {
    m_nRankColumn = -1; // the new rows have none
    if (gaveUp || m_nSortColumn >= 0)
        m_bUnsorted = true;
}

template <class T>
void CFileListModel::AddSitePrefixes(const std::vector<Row<T>>& rows, SitePrefixes& prefixes) {
    const CFTPDir* parent = nullptr;
    for (const Row<T>& row : rows) {
        // Rows of one directory mostly follow each other: one look-up for them.
        if (row.entry->m_pParent == parent && parent)
            continue;
        parent = row.entry->m_pParent;
        const CFTPSite* site = row.entry->GetSite();
        if (!prefixes.count(site))
            prefixes.emplace(site, ShownLocationPrefix(site));
    }
}

template <class T>
std::vector<uint32_t> CFileListModel::SortedOrder(std::vector<Row<T>>& rows, int column, bool descending,
                                                  bool ranked, const SitePrefixes& prefixes,
                                                  const std::atomic<bool>* cancelled) {
    std::vector<uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    CancelCheck check(cancelled);
    auto bySeq = [&rows](uint32_t a, uint32_t b) { return rows[a].seq < rows[b].seq; };
    if (IsTextColumn(column) && !ranked) {
        // One key per row, made from the text shown: Chinese in pinyin order whichever way the
        // server wrote it, digits by their value (file2 before file10).
        QCollator collator(QLocale(QLocale::Chinese, QLocale::China));
        collator.setNumericMode(true);
        std::vector<QCollatorSortKey> keys;
        keys.reserve(rows.size());
        for (const Row<T>& row : rows) {
            check();
            if (column == kColumnName) {
                keys.push_back(collator.sortKey(Q(ShownName(row.entry))));
            } else {
                const auto prefix = prefixes.find(row.entry->GetSite());
                keys.push_back(
                    collator.sortKey(Q((prefix != prefixes.end() ? prefix->second : std::string()) +
                                       ShownLocationBelowRoot(row.entry))));
            }
        }
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            check();
            const int c = keys[a].compare(keys[b]);
            return c != 0 ? c < 0 : bySeq(a, b);
        });
        // Equal texts share a rank.
        uint32_t rank = 0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i > 0 && keys[order[i - 1]].compare(keys[order[i]]) != 0)
                ++rank;
            rows[order[i]].rank = rank;
        }
        if (!descending)
            return order;
        ranked = true;
    }
    if (IsTextColumn(column)) {
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            check();
            if (rows[a].rank != rows[b].rank)
                return descending ? rows[a].rank > rows[b].rank : rows[a].rank < rows[b].rank;
            return bySeq(a, b);
        });
    } else if (column == kColumnSize) {
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            check();
            if (rows[a].size != rows[b].size)
                return descending ? rows[a].size > rows[b].size : rows[a].size < rows[b].size;
            return bySeq(a, b);
        });
    } else {
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            check();
            return bySeq(a, b);
        });
    }
    return order;
}

void CFileListModel::sort(int column, Qt::SortOrder order) {
    m_nSortColumn = (column >= 0 && column < kColumnCount) ? column : -1;
    m_sortOrder = order;
    if (!m_textRows.isEmpty())
        return;
    ApplySort(true);
}

bool CFileListModel::SortsInBackground() const {
    return m_dirRows.size() + m_fileRows.size() >=
           static_cast<std::size_t>(std::max(1, m_nBackgroundSortRows));
}

void CFileListModel::ApplySort(bool notify) {
    m_bUnsorted = false;
    CancelSort();
    if (m_dirRows.empty() && m_fileRows.empty())
        return;
    if (notify && SortsInBackground() && StartBackgroundSort())
        return;
    const bool descending = m_sortOrder == Qt::DescendingOrder;
    const bool ranked = m_nRankColumn == m_nSortColumn;
    SitePrefixes prefixes;
    if (m_nSortColumn == kColumnLocation && !ranked) {
        AddSitePrefixes(m_dirRows, prefixes);
        AddSitePrefixes(m_fileRows, prefixes);
    }
    std::vector<uint32_t> dirOrder =
        SortedOrder(m_dirRows, m_nSortColumn, descending, ranked, prefixes, nullptr);
    std::vector<uint32_t> fileOrder =
        SortedOrder(m_fileRows, m_nSortColumn, descending, ranked, prefixes, nullptr);
    if (IsTextColumn(m_nSortColumn))
        m_nRankColumn = m_nSortColumn;
    Permute(dirOrder, fileOrder, notify, nullptr, nullptr);
}

bool CFileListModel::StartBackgroundSort() {
    CancelSort();
    auto job = std::make_shared<SortJob>();
    job->column = m_nSortColumn;
    job->ranked = m_nRankColumn == m_nSortColumn;
    if (job->column == kColumnLocation && !job->ranked) {
        AddSitePrefixes(m_dirRows, job->prefixes);
        AddSitePrefixes(m_fileRows, job->prefixes);
    }
    job->descending = m_sortOrder == Qt::DescendingOrder;
    job->dirs = m_dirRows;
    job->files = m_fileRows;
    m_pSortJob = job;
    m_bRowsEdited = false;
    try {
        m_sortThread = std::thread([this, job] {
            try {
                job->dirOrder = SortedOrder(job->dirs, job->column, job->descending, job->ranked,
                                            job->prefixes, &job->cancelled);
                job->fileOrder = SortedOrder(job->files, job->column, job->descending, job->ranked,
                                             job->prefixes, &job->cancelled);
                // The rows in their new order, ready to take the place of those shown.
                job->dirs = Permuted(job->dirs, job->dirOrder);
                job->files = Permuted(job->files, job->fileOrder);
            } catch (const SortCancelled&) {
                return; // given up: the window waits for this thread and wants nothing of it
            } catch (const std::exception&) {
                job->failed = true; // out of memory: the rows stay as they are
            }
            // The window waits for this thread before the model goes, so `this` is still there.
            QMetaObject::invokeMethod(
                this, [this, job] { FinishBackgroundSort(job); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        m_pSortJob.reset(); // no thread to be had: sorted in the window thread
        return false;
    }
    emit SortingChanged(true);
    return true;
}

void CFileListModel::FinishBackgroundSort(const std::shared_ptr<SortJob>& job) {
    if (job != m_pSortJob)
        return; // given up since
    if (m_sortThread.joinable())
        m_sortThread.join();
    m_pSortJob.reset();
    if (!job->failed && job->dirOrder.size() == m_dirRows.size() &&
        job->fileOrder.size() == m_fileRows.size()) {
        // Rows whose highlight or size changed meanwhile are put in order as they are now.
        if (m_bRowsEdited) {
            Permute(job->dirOrder, job->fileOrder, true, nullptr, nullptr);
        } else {
            // The rows sorted carry the ranks the sort gave them.
            if (IsTextColumn(job->column))
                m_nRankColumn = job->column;
            Permute(job->dirOrder, job->fileOrder, true, &job->dirs, &job->files);
        }
        emit SortingChanged(false);
        emit SortApplied();
        return;
    }
    emit SortingChanged(false);
}

bool CFileListModel::CancelSort() {
    if (!m_pSortJob)
        return false;
    m_pSortJob->cancelled = true;
    if (m_sortThread.joinable())
        m_sortThread.join();
    m_pSortJob.reset();
    emit SortingChanged(false);
    return true;
}

template <class T>
std::vector<CFileListModel::Row<T>> CFileListModel::Permuted(const std::vector<Row<T>>& rows,
                                                             const std::vector<uint32_t>& order) {
    std::vector<Row<T>> sorted;
    sorted.reserve(rows.size());
    for (uint32_t from : order)
        sorted.push_back(rows[from]);
    return sorted;
}

void CFileListModel::Permute(const std::vector<uint32_t>& dirOrder, const std::vector<uint32_t>& fileOrder,
                             bool notify, std::vector<DirRow>* sortedDirs,
                             std::vector<FileRow>* sortedFiles) {
    auto permute = [this, sortedDirs, sortedFiles, &dirOrder, &fileOrder] {
        if (sortedDirs)
            m_dirRows.swap(*sortedDirs);
        else
            m_dirRows = Permuted(m_dirRows, dirOrder);
        if (sortedFiles)
            m_fileRows.swap(*sortedFiles);
        else
            m_fileRows = Permuted(m_fileRows, fileOrder);
    };
    if (!notify) {
        permute();
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    if (!before.isEmpty()) {
        // Where each old row went.
        std::vector<uint32_t> dirPlace(dirOrder.size()), filePlace(fileOrder.size());
        for (uint32_t i = 0; i < dirOrder.size(); ++i)
            dirPlace[dirOrder[i]] = i;
        for (uint32_t i = 0; i < fileOrder.size(); ++i)
            filePlace[fileOrder[i]] = i;
        const int dirs = DirRowCount();
        after.reserve(before.size());
        for (const QModelIndex& old : before) {
            const int row = old.row();
            const int placed = row < dirs
                                   ? static_cast<int>(dirPlace[static_cast<std::size_t>(row)])
                                   : dirs + static_cast<int>(filePlace[static_cast<std::size_t>(row - dirs)]);
            after << index(placed, old.column());
        }
    }
    permute();
    if (!before.isEmpty())
        changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
