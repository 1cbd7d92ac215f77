#include "ui/StatusPanes.h"

#include "model/Paths.h"
#include "ops/ShownText.h"
#include "ui/DirView.h"
#include "ui/FileListModel.h"
#include "ui/QuarnelView.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>

namespace {
const QString kIdleMessage = QStringLiteral("就绪");

// Counts with digit groups ("12,345"), whatever the locale the program runs in.
QString Count(qint64 n) {
    return QLocale(QLocale::Chinese, QLocale::China).toString(n);
}
} // namespace

CStatusPanes::CStatusPanes(CQuarnelView* list, CDirView* tree, QWidget* parent)
    : QStatusBar(parent), m_pListView(list), m_pDirView(tree) {
    setObjectName(QStringLiteral("statusBar"));
    setSizeGripEnabled(true);
    m_pMessagePane = new QLabel(kIdleMessage, this);
    m_pMessagePane->setObjectName(QStringLiteral("messagePane"));
    m_pMessagePane->setContentsMargins(4, 0, 4, 0);
    addWidget(m_pMessagePane, 1);
    m_pInfoPane = new QLabel(this);
    m_pInfoPane->setObjectName(QStringLiteral("infoPane"));
    m_pInfoPane->setContentsMargins(4, 0, 4, 0);
    addPermanentWidget(m_pInfoPane);
    m_infoTimer.setSingleShot(true);
    m_infoTimer.setInterval(100); // a search adds rows in batches: counted once they settle
    connect(&m_infoTimer, &QTimer::timeout, this, &CStatusPanes::RefreshInfo);

    CFileListModel* model = m_pListView->ListModel();
    connect(model, &QAbstractItemModel::modelReset, this, &CStatusPanes::ScheduleInfo);
    connect(model, &QAbstractItemModel::layoutChanged, this, &CStatusPanes::ScheduleInfo);
    connect(model, &QAbstractItemModel::rowsInserted, this, &CStatusPanes::ScheduleInfo);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &CStatusPanes::ScheduleInfo);
    connect(model, &QAbstractItemModel::dataChanged, this, &CStatusPanes::ScheduleInfo);
    connect(m_pDirView, &QTreeWidget::currentItemChanged, this, &CStatusPanes::ScheduleInfo);
}

QString CStatusPanes::MessageText() const {
    return m_pMessagePane->text();
}

void CStatusPanes::SetMessage(const QString& text) {
    m_pMessagePane->setText(text);
}

void CStatusPanes::ShowTip(const QString& tip) {
    SetMessage(tip.isEmpty() ? kIdleMessage : tip);
}

QString CStatusPanes::InfoText() const {
    return m_pInfoPane->text();
}

void CStatusPanes::ScheduleInfo() {
    if (!m_infoTimer.isActive())
        m_infoTimer.start();
}

void CStatusPanes::SiteStatusSeen(const CFTPSite* site) {
    const UpdateStatus status = site->m_nUpdateStatus.load();
    if (status == UpdateStatus::Waiting)
        m_updatedInRun.erase(site);
    else if (status == UpdateStatus::Succeeded && !m_updatedInRun.contains(site))
        m_updatedInRun[site] = QDateTime::currentDateTime();
    ScheduleInfo();
}

void CStatusPanes::RefreshInfo() {
    const CFileListModel* model = m_pListView->ListModel();
    const int entries = model->DirRowCount() + model->FileRowCount();
    QStringList parts;
    if (m_pListView->m_bSearchMode) {
        if (!m_foundLabel.isEmpty())
            parts << QStringLiteral("%1: %2 项").arg(m_foundLabel, Count(entries));
    } else if (entries > 0 || model->rowCount() == 0) {
        int fresh = 0;
        for (int row = 0; row < entries; ++row)
            fresh += model->IsHighlighted(row) ? 1 : 0;
        parts << QStringLiteral("%1 项, 新 %2").arg(Count(entries), Count(fresh));
    }
    CFTPDir* dir = m_pDirView->SelectedDir();
    if (CFTPSite* site = dir ? dir->GetSite() : nullptr)
        parts << QString::fromStdString(DisplaySafe(ShownSiteName(*site))) + QLatin1Char(' ') +
                     SiteUpdatedText(site);
    m_pInfoPane->setText(parts.join(QStringLiteral("  |  ")));
}

QString CStatusPanes::SiteUpdatedText(const CFTPSite* site) const {
    // The catalogue's file is written by every update that got a listing; an update of this run
    // that wrote nothing still counts.
    const QString content = QFile::decodeName(QByteArray::fromStdString(SiteDataDirPath(site->GetKey()))) +
                            QStringLiteral("/content.ct");
    QDateTime when = QFileInfo(content).lastModified();
    if (auto it = m_updatedInRun.find(site);
        it != m_updatedInRun.end() && (!when.isValid() || it->second > when))
        when = it->second;
    if (!when.isValid())
        return QStringLiteral("未更新过");
    return QStringLiteral("更新于 ") + when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}
