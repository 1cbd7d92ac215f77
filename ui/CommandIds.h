#pragma once
// The numbered commands of the main window: the program's own from 32771 on, the standard ones
// (exit, about, toolbar, status bar) by their usual numbers.

enum CommandId : int {
    ID_UPDATE_ALL = 32771,
    ID_ADD_SITE = 32772,
    ID_MARK_SHOWN_READ = 32774,
    ID_MARK_UPDATED_READ = 32776,
    ID_SEARCH = 32777,
    ID_SHOW_NEW_FILES = 32780,
    ID_DELETE_SITE = 32782,
    ID_EDIT_SITE = 32783,
    ID_IMPORT = 32784,
    ID_UPDATE_SELECTED = 32793,
    ID_MARK_ALL_READ = 32794,
    ID_SHOW_ALL_NEW_FILES = 32795,
    ID_COPY_LIST_PATH = 32796,
    ID_FORWARD = 32797,
    ID_BACK = 32798,
    ID_UP = 32801,
    ID_STOP_UPDATE = 32803,
    ID_MARK_TREE_READ = 32804,
    ID_UPDATE_SETTINGS = 32805,
    ID_TOGGLE_BROWSE_SEARCH = 32806,
    ID_SHOW_TREE_NEW = 32807,
    ID_COPY_TREE_PATH = 32808,
    ID_HELP = 32809,
    ID_COPY_LIST_URL = 32810,
    ID_COPY_TREE_URL = 32811,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
    ID_VIEW_TOOLBAR = 59392,
    ID_VIEW_STATUS_BAR = 59393,
};

// One command: its number, the objectName of its action, its menu text, its status-bar prompt
// (empty: none) and its toolbar label (empty: not on the toolbar).
struct CommandInfo {
    int id;
    const char* objectName;
    const char* text;
    const char* prompt;
    const char* toolLabel;
};

inline constexpr CommandInfo kCommands[] = {
    {ID_IMPORT, "actionImport", "导入", "", ""},
    {ID_APP_EXIT, "actionExit", "退出(&X)", "退出应用程序；提示保存文档", ""},
    {ID_ADD_SITE, "actionAddSite", "添加站点", "增加站点", "增加"},
    {ID_EDIT_SITE, "actionEditSite", "编辑站点", "编辑站点", "编辑"},
    {ID_DELETE_SITE, "actionDeleteSite", "删除站点", "删除站点", ""},
    {ID_VIEW_TOOLBAR, "actionToolbar", "工具栏(&T)", "显示或隐藏工具栏", ""},
    {ID_VIEW_STATUS_BAR, "actionStatusBar", "状态栏(&S)", "显示或隐藏状态栏", ""},
    {ID_FORWARD, "actionForward", "前进", "前进", "前进"},
    {ID_BACK, "actionBack", "后退", "后退", "后退"},
    {ID_UP, "actionUp", "向上", "向上", "向上"},
    {ID_TOGGLE_BROWSE_SEARCH, "actionToggleBrowseSearch", "切换浏览/搜索", "切换浏览/搜索窗口", "切换"},
    {ID_UPDATE_SELECTED, "actionUpdateSelected", "更新", "更新所选站点", "更新"},
    {ID_UPDATE_ALL, "actionUpdateAll", "更新全部", "更新所有站点", ""},
    {ID_STOP_UPDATE, "actionStopUpdate", "终止更新", "", ""},
    {ID_SEARCH, "actionSearch", "搜索", "搜索", "搜索"},
    {ID_SHOW_NEW_FILES, "actionShowNewFiles", "显示未读文件", "显示这次更新的文件", ""},
    {ID_SHOW_ALL_NEW_FILES, "actionShowAllNewFiles", "显示所有未读文件", "显示所有更新的文件", ""},
    {ID_MARK_SHOWN_READ, "actionMarkShownRead", "设置已读(Alt+D)", "设置当前显示的文件已读", "已读"},
    {ID_MARK_UPDATED_READ, "actionMarkUpdatedRead", "设置全部已读", "设置这次更新的文件已读", ""},
    {ID_MARK_ALL_READ, "actionMarkAllRead", "设置所有为已读", "设置所有未读的文件已读", ""},
    {ID_UPDATE_SETTINGS, "actionUpdateSettings", "设置(&S)", "", ""},
    {ID_HELP, "actionHelp", "帮助(&H)", "", ""},
    {ID_APP_ABOUT, "actionAbout", "关于 Quarnel(&A)...", "显示程序信息、版本号和版权", ""},
    {ID_SHOW_TREE_NEW, "actionShowTreeNew", "显示更新", "", ""},
    {ID_MARK_TREE_READ, "actionMarkTreeRead", "设置已读", "", ""},
    {ID_COPY_TREE_PATH, "actionCopyTreePath", "复制路径", "", ""},
    {ID_COPY_LIST_PATH, "actionCopyListPath", "复制路径", "", ""},
    // The percent-encoded URL, pasted into a browser or curl as it is; directories end with "/".
    {ID_COPY_TREE_URL, "actionCopyTreeUrl", "复制网址", "", ""},
    {ID_COPY_LIST_URL, "actionCopyListUrl", "复制网址", "", ""},
};

// The commands that change the site list. A search or mark-read walk stands on the records while
// it lets events through, so these are greyed as one group for as long as a walk runs; a new
// command of this kind belongs here. The update commands stay: an update merges under the site's
// tree lock, which the walk holds while it reads that site, so the two never meet.
inline constexpr int kCatalogueCommands[] = {
    ID_IMPORT,
    ID_ADD_SITE,
    ID_EDIT_SITE,
    ID_DELETE_SITE,
};
