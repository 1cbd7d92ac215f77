#pragma once
// Qt's own texts (the file chooser, the standard buttons, the line edits' context menu) in
// Chinese, from the catalogues the system's Qt ships.

#include <QString>

class QCoreApplication;
class QTranslator;

namespace QtTranslations {

// Installs Qt's zh_CN catalogue found in `dir` (empty: where the system's Qt keeps its
// translations) on `app`, and returns it (a child of `app`). Null when there is none: Qt's texts
// stay English, and the program's own message boxes still label their buttons themselves.
QTranslator* Install(QCoreApplication& app, const QString& dir = QString());

} // namespace QtTranslations
