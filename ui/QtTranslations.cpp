#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace QtTranslations {

QTranslator* Install(QCoreApplication& app, const QString& dir) {
    const QString where = dir.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : dir;
    // qtbase holds the widgets' texts; qt_ is the older catalogue that pulls in the modules.
    for (const char* name : {"qtbase_zh_CN", "qt_zh_CN"}) {
        auto* translator = new QTranslator(&app);
        if (translator->load(QString::fromLatin1(name), where) && app.installTranslator(translator))
            return translator;
        delete translator;
    }
    return nullptr;
}

} // namespace QtTranslations
