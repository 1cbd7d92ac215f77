#pragma once
// The window's commands as actions, and the menu bar and the toolbar that show them: texts,
// prompts and object names come from the command table (ui/CommandIds.h), the layout of the
// menus and of the toolbar's buttons from here. Whoever handles a command connects its action.

#include <QHash>

class QAction;
class QActionGroup;
class QMainWindow;
class QMenuBar;
class QObject;
class QToolBar;

namespace CommandBars {

using Actions = QHash<int, QAction*>;

// One action per command, children of `owner`; the toggles of the toolbar and the status bar
// are checkable.
Actions CreateActions(QObject* owner);
// The commands that change the catalogue, in a group that only enables and disables them
// together.
QActionGroup* CreateCatalogueGroup(const Actions& actions, QObject* owner);
void FillMenuBar(QMenuBar* bar, const Actions& actions);
// The toolbar with its picture buttons, at the top of `window`, shown and hidden by its toggle.
QToolBar* CreateToolBar(QMainWindow* window, const Actions& actions);

} // namespace CommandBars
