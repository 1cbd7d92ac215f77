#include "ui/CommandBars.h"

#include "ui/CommandIds.h"
#include "ui/Icons.h"

#include <QAction>
#include <QActionGroup>
#include <QEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QToolBar>

#include <algorithm>

namespace {

// The buttons' labels say it all: no tool tips.
class CNoToolTips : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        return event->type() == QEvent::ToolTip || QObject::eventFilter(watched, event);
    }
};

} // namespace

namespace CommandBars {

Actions CreateActions(QObject* owner) {
    Actions actions;
    for (const CommandInfo& info : kCommands) {
        auto* action = new QAction(QString::fromUtf8(info.text), owner);
        action->setObjectName(QString::fromUtf8(info.objectName));
        action->setProperty("commandId", info.id);
        action->setStatusTip(QString::fromUtf8(info.prompt));
        if (*info.toolLabel)
            action->setIconText(QString::fromUtf8(info.toolLabel));
        action->setMenuRole(QAction::NoRole);
        actions.insert(info.id, action);
    }
    actions.value(ID_VIEW_TOOLBAR)->setCheckable(true);
    actions.value(ID_VIEW_STATUS_BAR)->setCheckable(true);
    return actions;
}

QActionGroup* CreateCatalogueGroup(const Actions& actions, QObject* owner) {
    // Not exclusive: the group only enables and disables its members together.
    auto* group = new QActionGroup(owner);
    group->setObjectName(QStringLiteral("catalogueCommands"));
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
    for (int id : kCatalogueCommands)
        group->addAction(actions.value(id));
    return group;
}

void FillMenuBar(QMenuBar* bar, const Actions& actions) {
    struct MenuLayout {
        const char* objectName;
        const char* title;
        std::initializer_list<int> items; // 0: separator
    };
    const MenuLayout menus[] = {
        {"menuFile", "文件(&F)", {ID_IMPORT, ID_APP_EXIT}},
        {"menuEdit", "编辑(&E)", {ID_ADD_SITE, ID_EDIT_SITE, ID_DELETE_SITE}},
        {"menuView",
         "视图(&V)",
         {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_FORWARD, ID_BACK, ID_UP, ID_TOGGLE_BROWSE_SEARCH}},
        {"menuOperate",
         "操作(&O)",
         {ID_UPDATE_SELECTED, ID_UPDATE_ALL, ID_STOP_UPDATE, 0, ID_SEARCH, ID_SHOW_NEW_FILES,
          ID_SHOW_ALL_NEW_FILES, 0, ID_MARK_SHOWN_READ, ID_MARK_UPDATED_READ, ID_MARK_ALL_READ}},
        {"menuSettings", "设置(&S)", {ID_UPDATE_SETTINGS}},
        {"menuHelp", "帮助(&H)", {ID_HELP, ID_APP_ABOUT}},
    };
    for (const MenuLayout& layout : menus) {
        QMenu* menu = bar->addMenu(QString::fromUtf8(layout.title));
        menu->setObjectName(QString::fromUtf8(layout.objectName));
        for (int id : layout.items) {
            if (id == 0)
                menu->addSeparator();
            else
                menu->addAction(actions.value(id));
        }
    }
}

QToolBar* CreateToolBar(QMainWindow* window, const Actions& actions) {
    auto* toolBar = new QToolBar(window);
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setMovable(true); // shows the gripper
    toolBar->setFloatable(false);
    toolBar->setAllowedAreas(Qt::TopToolBarArea);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar->setIconSize(QSize(Icons::kToolbarWidth, Icons::kToolbarHeight));
    toolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    window->addToolBar(Qt::TopToolBarArea, toolBar);

    const int buttons[] = {ID_MARK_SHOWN_READ,
                           ID_TOGGLE_BROWSE_SEARCH,
                           ID_EDIT_SITE,
                           ID_ADD_SITE,
                           ID_SEARCH,
                           ID_UPDATE_SELECTED,
                           ID_BACK,
                           ID_FORWARD,
                           ID_UP};
    auto* noTips = new CNoToolTips(toolBar);
    QSize buttonSize;
    for (int picture = 0; picture < Icons::kToolbarPictureCount; ++picture) {
        QAction* action = actions.value(buttons[picture]);
        action->setIcon(Icons::ToolbarIcon(picture));
        toolBar->addAction(action);
        QWidget* button = toolBar->widgetForAction(action);
        button->setObjectName(QStringLiteral("toolButton") + QString::number(picture));
        button->installEventFilter(noTips);
        // Every button takes the first one's size, its width held between 20 and 50 pixels.
        if (picture == 0) {
            buttonSize = button->sizeHint();
            buttonSize.setWidth(std::clamp(buttonSize.width(), 20, 50));
        }
        button->setFixedSize(buttonSize);
    }

    QAction* toggle = actions.value(ID_VIEW_TOOLBAR);
    toggle->setChecked(true);
    QObject::connect(toggle, &QAction::toggled, toolBar, &QWidget::setVisible);
    QObject::connect(toolBar, &QToolBar::visibilityChanged, toggle, [toggle](bool visible) {
        if (toggle->isChecked() != visible)
            toggle->setChecked(visible);
    });
    return toolBar;
}

} // namespace CommandBars
