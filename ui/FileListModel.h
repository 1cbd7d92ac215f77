#pragma once
// The rows of the file list: welcome rows, then directory rows, then file rows. A row holds one
// reference to its record and whether it was new when listed; the texts are made when shown,
// so a directory of 100,000 files lists at once.

#include "ops/CatalogueObserver.h"
#include "ui/FileTypeIcons.h"

#include <QAbstractTableModel>
#include <cstdint>
#include <string>
#include <vector>

class CObject;
class CFTPDir;
class CFTPFile;

class CFileListModel : public QAbstractTableModel, public ICatalogueObserver {
    Q_OBJECT
public:
    enum Column { kColumnName = 0, kColumnSize, kColumnLocation, kColumnCount };
    enum RowKind : uint8_t { kWelcomeRow, kDirRow, kFileRow };

    explicit CFileListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The four welcome rows, replacing everything.
    void ShowWelcome();
    void Clear();
    // Replaces every row by the directories, then the files.
    void Reset(const std::vector<CFTPDir*>& dirs, const std::vector<CFTPFile*>& files);
    // One directory row after the directory rows shown, or one file row at the end.
    void AppendDir(CFTPDir* dir);
    void AppendFile(CFTPFile* file);
    // Drops the new highlight of every row from `first` on whose entry is no longer new.
    void ClearHighlightsFrom(int first);
    // Every row's highlight from its entry's new mark.
    void RefreshHighlights();
    // Drops every row whose record is `entry` or lies below it (a removed directory takes
    // its listed contents with it). Returns the number of rows dropped.
    int RemoveEntry(const CObject* entry);
    // The document's notice: the rows of a going entry go (the view joins the model to it).
    void EntryGoing(const CObject* entry, EntryKind) override { RemoveEntry(entry); }

    int DirRowCount() const { return m_nDirRows; }
    int FileRowCount() const { return m_nFileRows; }
    RowKind KindAt(int row) const { return m_rows[static_cast<std::size_t>(row)].kind; }
    CFTPDir* DirAt(int row) const;
    CFTPFile* FileAt(int row) const;
    bool IsHighlighted(int row) const { return m_rows[static_cast<std::size_t>(row)].highlight; }
    // The location of a row's record (narrow bytes), empty for a welcome row.
    std::string LocationAt(int row) const;

    static const char* const kWelcomeTexts[4];

private:
    struct Row {
        void* entry; // CFTPDir* or CFTPFile*, by kind; the welcome text's index for a welcome row
        RowKind kind;
        bool highlight;
    };
    static Row DirRowOf(CFTPDir* dir);
    static Row FileRowOf(CFTPFile* file);
    static bool IsStillNew(const Row& row);

    std::vector<Row> m_rows;
    int m_nDirRows = 0;
    int m_nFileRows = 0;
    mutable CFileTypeIcons m_icons;
};
