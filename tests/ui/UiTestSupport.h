#pragma once
// Shared by the window tests: a document over a temporary program directory, a main window on
// it, and small catalogues built in memory.

#include "model/Paths.h"
#include "model/Records.h"
#include "ops/QuarnelDoc.h"
#include "ui/DirView.h"
#include "ui/MainFrame.h"
#include "ui/QuarnelView.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTreeWidgetItem>

#include <memory>
#include <string>

namespace uitest {

inline CFTPSite* AddSite(CQuarnelDoc& doc, const std::string& host, const std::string& nickname = {}) {
    auto site = std::make_unique<CFTPSite>();
    site->m_strHost = host;
    site->m_strUser = kAnonymousUser;
    site->m_strPassword = kAnonymousPassword;
    site->m_strNickname = nickname;
    site->m_nLoadState = 1;  // the tree below is all there is
    return doc.m_siteList.AddTail(std::move(site));
}

inline CFTPDir* AddDir(CFTPDir* parent, const std::string& name, bool isNew = false) {
    auto dir = std::make_unique<CFTPDir>();
    dir->m_strName = name;
    dir->m_bNew = isNew ? 1 : 0;
    dir->m_pParent = parent;
    dir->m_pSite = parent->m_pSite;
    return parent->m_subDirs.AddTail(std::move(dir));
}

inline CFTPFile* AddFile(CFTPDir* parent, const std::string& name, uint64_t size = 0, bool isNew = false) {
    auto file = std::make_unique<CFTPFile>();
    file->m_strName = name;
    file->m_nSize = size;
    file->m_bNew = isNew ? 1 : 0;
    file->m_pParent = parent;
    return parent->m_files.AddTail(std::move(file));
}

// A program directory of its own, a document read from it, and the main window.
struct Window {
    QTemporaryDir appDir;
    CQuarnelDoc doc;
    std::unique_ptr<CMainFrame> frame;

    Window() {
        SetAppDir(appDir.path().toStdString());
        doc.OnNewDocument();
    }
    // Builds the window once the test has put its sites into the document.
    CMainFrame& Open() {
        frame = std::make_unique<CMainFrame>(&doc);
        frame->OnInitialUpdate();
        frame->DirView()->m_bFirstSelection = false;
        return *frame;
    }
    ~Window() { frame.reset(); }

    CDirView* tree() const { return frame->DirView(); }
    CQuarnelView* list() const { return frame->ListView(); }
    QAction* action(const char* name) const { return frame->findChild<QAction*>(QString::fromUtf8(name)); }

    QTreeWidgetItem* SiteItem(CFTPSite* site) const { return tree()->SiteItem(site); }
    // The child of `parent` with this text.
    static QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& text) {
        for (int i = 0; i < parent->childCount(); ++i)
            if (parent->child(i)->text(0) == text)
                return parent->child(i);
        return nullptr;
    }
    void Select(QTreeWidgetItem* item) const { tree()->setCurrentItem(item); }
};

}  // namespace uitest
