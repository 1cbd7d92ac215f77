#pragma once
// Small icons for file names that need not exist, looked up by extension in the MIME database
// and the icon theme, once per extension.

#include <QHash>
#include <QIcon>
#include <string>

class CFileTypeIcons {
public:
    CFileTypeIcons();

    // The icon for a file of this name (narrow bytes); the folder picture when none is known.
    QIcon ForName(const std::string& name);
    const QIcon& Folder() const { return m_folder; }

    // Makes sure the Adwaita theme is the one asked, also under the offscreen platform.
    static void UseIconTheme();

private:
    QHash<QString, QIcon> m_byExtension;
    QIcon m_folder;
};
