#pragma once
// Shared by the window tests: a document over a temporary program directory, a main window on
// it, and small catalogues built in memory.

#include "model/Paths.h"
#include "model/Records.h"
#include "ops/QuarnelDoc.h"
#include "tests/support/CatalogueBuilder.h"
#include "ui/DirView.h"
#include "ui/MainFrame.h"
#include "ui/QuarnelView.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTreeWidgetItem>

#include <memory>
#include <string>

namespace uitest {

using testtree::AddDir;
using testtree::AddFile;

// An anonymous site of the document, its tree all there is (nothing is read from disk).
inline CFTPSite* AddSite(CQuarnelDoc& doc, const std::string& host, const std::string& nickname = {}) {
    CFTPSite* site = testtree::AddSite(doc.m_siteList, host);
    site->m_strNickname = nickname;
    return site;
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

} // namespace uitest
