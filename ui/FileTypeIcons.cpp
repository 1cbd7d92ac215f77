#include "ui/FileTypeIcons.h"

#include "ui/Icons.h"

#include <QMimeDatabase>

void CFileTypeIcons::UseIconTheme() {
    QStringList paths = QIcon::themeSearchPaths();
    if (!paths.contains(QStringLiteral("/usr/share/icons"))) {
        paths << QStringLiteral("/usr/share/icons");
        QIcon::setThemeSearchPaths(paths);
    }
    if (QIcon::themeName() != QStringLiteral("Adwaita"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

CFileTypeIcons::CFileTypeIcons() : m_folder(Icons::TreeIcon(Icons::kTreeClosedFolder)) {
    UseIconTheme();
}

QIcon CFileTypeIcons::ForName(const std::string& name) {
    // The extension alone decides; names are bytes, and only ASCII extensions mean anything
    // to the MIME database, so Latin-1 is enough to form the key.
    const std::size_t dot = name.rfind('.');
    const QString extension =
        dot == std::string::npos
            ? QString()
            : QString::fromLatin1(name.data() + dot + 1, static_cast<qsizetype>(name.size() - dot - 1))
                  .toLower();
    auto found = m_byExtension.constFind(extension);
    if (found != m_byExtension.constEnd())
        return *found;

    static const QMimeDatabase database;
    const QString probe = extension.isEmpty() ? QStringLiteral("file") : QStringLiteral("file.") + extension;
    const QMimeType type = database.mimeTypeForFile(probe, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    if (icon.isNull())
        icon = m_folder;
    m_byExtension.insert(extension, icon);
    return icon;
}
