#pragma once
// The rows of the file list: welcome rows, or directory rows then file rows. A row holds one
// reference to its record, whether it was new when listed and the file's size then (read under
// the site's lock, which an update holds while it changes them; painting takes no lock); the texts
// are made when shown, so a directory of 100,000 files lists at once. Directory and file rows live apart, so
// that rows added to either group are appended, never inserted in the middle of one long vector.
// Each group may be sorted by a column (directories stay before files); a row remembers its place
// in its source list, so the lists' own order comes back when the sort is dropped. A long list is
// sorted in a thread of its own: the window goes on meanwhile, and the rows take their new order
// when it is done; a change of the rows before then starts it over.

#include "model/Records.h"
#include "ops/CatalogueObserver.h"
#include "ui/FileTypeIcons.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CObject;
class CFTPDir;
class CFTPFile;

class CFileListModel : public QAbstractTableModel, public ICatalogueObserver {
    Q_OBJECT
public:
    enum Column { kColumnName = 0, kColumnSize, kColumnLocation, kColumnCount };
    enum RowKind : uint8_t { kWelcomeRow, kDirRow, kFileRow };

    // From this many rows on, a sort runs in a thread.
    static constexpr int kBackgroundSortRows = 20000;

    explicit CFileListModel(QObject* parent = nullptr);
    ~CFileListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Sorts each group by `column` (name and location in natural order of the shown text, size
    // by bytes), ties and a column of -1 in the source lists' order. Selections follow their rows.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int SortColumn() const { return m_nSortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }
    // A sort runs in its thread; SortingChanged(false) follows when its order is applied or it
    // was given up (the rows were replaced).
    bool IsSorting() const { return m_pSortJob != nullptr; }
    void SetBackgroundSortRows(int rows) { m_nBackgroundSortRows = rows; }
    // Rows appended since the last sort stand at the end of their group, unsorted.
    bool HasUnsortedRows() const { return m_bUnsorted; }
    // Puts every row in the current order again.
    void Resort() { sort(m_nSortColumn, m_sortOrder); }

    // The four welcome rows, replacing everything.
    void ShowWelcome();
    // Rows of text in the name column alone (as the welcome rows), replacing everything.
    void ShowTextRows(const QStringList& texts);
    void Clear();
    // Replaces every row by the directories, then the files.
    void Reset(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files);
    // One directory row after the directory rows shown, or one file row at the end.
    void AppendDir(CFTPDir* dir);
    void AppendFile(CFTPFile* file);
    // The rows shown are the heads of `dirs` and `files` (the found lists): the rest of each is
    // appended, with one insertion per group. Returns the number of rows added.
    int AppendTails(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files);
    // Drops the new highlight of every row from `first` on whose entry is no longer new.
    void ClearHighlightsFrom(int first);
    // Every row's highlight from its entry's new mark.
    void RefreshHighlights();
    // The sizes shown for the files of `site` as its tree holds them now (after an update).
    void RefreshSizes(const CFTPSite* site);
    // Drops every row whose record is `entry` or lies below it (a removed directory takes
    // its listed contents with it). Returns the number of rows dropped.
    int RemoveEntry(const CObject* entry);
    // The same for several entries, going through the rows once.
    int RemoveEntries(const std::vector<std::pair<const CObject*, EntryKind>>& entries);
    // The document's notice: the rows of a going entry go (the view joins the model to it).
    void EntryGoing(const CObject* entry, EntryKind) override { RemoveEntry(entry); }
    void EntriesGoing(const std::vector<std::pair<const CObject*, EntryKind>>& entries) override {
        RemoveEntries(entries);
    }

    int DirRowCount() const { return static_cast<int>(m_dirRows.size()); }
    int FileRowCount() const { return static_cast<int>(m_fileRows.size()); }
    RowKind KindAt(int row) const;
    CFTPDir* DirAt(int row) const;
    CFTPFile* FileAt(int row) const;
    bool IsHighlighted(int row) const;
    // The location of a row's record (narrow bytes), empty for a welcome row.
    std::string LocationAt(int row) const;

    static const char* const kWelcomeTexts[4];

signals:
    void SortingChanged(bool sorting);
    // A sort that ran in its thread has put the rows in their new order.
    void SortApplied();

private:
    struct SortJob;
    template <class T> struct Row {
        T* entry;
        bool highlight;    // the entry was new when listed
        uint32_t seq = 0;  // the place in the source list: the order without a sort
        uint64_t size = 0; // a file's size when listed
        uint32_t rank = 0; // the place of the name (or location) among the others', when known
    };
    using DirRow = Row<CFTPDir>;
    using FileRow = Row<CFTPFile>;
    // Made under the lock of the entry's site.
    static DirRow DirRowOf(CFTPDir* dir, uint32_t seq) { return {dir, dir->m_bNew == 1, seq}; }
    static FileRow FileRowOf(CFTPFile* file, uint32_t seq) {
        return {file, file->m_bNew == 1, seq, file->m_nSize};
    }
    // Rows for entries [from, end) of `entries`, appended to `rows`; `seq` counts them.
    template <class T>
    static void AppendRowsOf(std::vector<Row<T>>& rows, const std::vector<T*>& entries, std::size_t from,
                             uint32_t& seq);
    // The order of one group's rows sorted by `column`: the old index of each new row. Runs in the
    // sort's thread too, reading only names; it stops, throwing, once `cancelled` is set. A sort by
    // a text column leaves each row its rank, so that sorting by it again (the other way, after
    // another column) compares numbers.
    // With `ranked` the rows' ranks for this column are known and taken instead of the texts;
    // else the texts are compared, and the ranks they give are written into the rows.
    // The location prefix of each site the rows are of, made in the window thread: a site's login
    // may be edited there while the sort's thread reads the rest of each location.
    using SitePrefixes = std::unordered_map<const CFTPSite*, std::string>;
    template <class T> static void AddSitePrefixes(const std::vector<Row<T>>& rows, SitePrefixes& prefixes);
    template <class T>
    static std::vector<uint32_t> SortedOrder(std::vector<Row<T>>& rows, int column, bool descending,
                                             bool ranked, const SitePrefixes& prefixes,
                                             const std::atomic<bool>* cancelled);
    // Puts both groups in the current order, in the window thread for a short list, else in the
    // sort's thread; `notify` tells views (not needed inside a reset).
    void ApplySort(bool notify);
    bool SortsInBackground() const;
    static bool IsTextColumn(int column) { return column == kColumnName || column == kColumnLocation; }
    // False when no thread can be had.
    bool StartBackgroundSort();
    // The sort's thread is done: its order is applied if it is still the one asked for.
    void FinishBackgroundSort(const std::shared_ptr<SortJob>& job);
    // Gives up a sort running in its thread (the rows change); true if one ran.
    bool CancelSort();
    // Both groups put in the order given (the old index of each new row); the rows so ordered
    // already when given.
    template <class T>
    static std::vector<Row<T>> Permuted(const std::vector<Row<T>>& rows, const std::vector<uint32_t>& order);
    void Permute(const std::vector<uint32_t>& dirOrder, const std::vector<uint32_t>& fileOrder, bool notify,
                 std::vector<DirRow>* sortedDirs, std::vector<FileRow>* sortedFiles);
    void RowsAppended(bool gaveUp);
    // Drops the welcome rows before the first entry row goes in.
    void LeaveWelcome();
    template <class T, class Gone> int RemoveFrom(std::vector<Row<T>>& rows, int first, Gone&& gone);
    // Drops the rows of the entries `going` and of everything below them. With `kindsKnown`, a
    // file of `going` is only looked for among the rows of the directories in `lostFiles`.
    int RemoveRows(const std::unordered_set<const CObject*>& going,
                   const std::unordered_set<const CFTPDir*>& lostFiles, bool kindsKnown);

    QStringList m_textRows; // the welcome rows or a note; there are no others while they show
    std::vector<DirRow> m_dirRows;
    std::vector<FileRow> m_fileRows;
    mutable CFileTypeIcons m_icons;
    uint32_t m_nextDirSeq = 0;
    uint32_t m_nextFileSeq = 0;
    int m_nSortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    bool m_bUnsorted = false;
    bool m_bRestartSort = false; // a removal gave up a sort running in its thread
    bool m_bRowsEdited = false;  // a highlight or size changed while a sort ran in its thread
    int m_nRankColumn = -1;      // the text column whose ranks the rows hold
    int m_nBackgroundSortRows = kBackgroundSortRows;
    std::shared_ptr<SortJob> m_pSortJob; // the sort running in m_sortThread
    std::thread m_sortThread;
};
