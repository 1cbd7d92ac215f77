#pragma once
// The site list's commands: import, add, edit and delete, each with its dialog or question, and
// the site tree kept in step with the list. Edits and deletes pass the command gate: none while
// a walk stands on the sites or a thread reads the site.

#include "ops/SiteFields.h"

#include <QObject>

#include <string>

class CCommandGate;
class CDirView;
class CFTPSite;
class CQuarnelDoc;
class CSiteFollower;
class CStatusPanes;
class QWidget;

class CSiteCommands : public QObject {
    Q_OBJECT
public:
    // Dialogs and questions open over `window`.
    CSiteCommands(CQuarnelDoc& doc, CDirView& tree, CStatusPanes& status, CCommandGate& gate,
                  CSiteFollower& follower, QWidget* window);

    void Import();
    void Add();
    // The site of the directory selected in the tree.
    void Edit();
    void Delete();
    // The site tree takes in the sites it does not show yet (another program added them).
    void AddMissingSiteItems();

private:
    // The site dialog for editing `site`, showing `shown`; asked again with what was typed when
    // the document refuses it.
    void EditFrom(CFTPSite* site, const SiteFields& shown);
    void Remove(CFTPSite* site);
    void ShowMessage(const std::string& utf8);

    CQuarnelDoc& m_doc;
    CDirView& m_tree;
    CStatusPanes& m_status;
    CCommandGate& m_gate;
    CSiteFollower& m_follower;
    QWidget* m_pWindow;
};
