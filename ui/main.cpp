// Quarnel: browse FTP sites offline.

#include "model/ProgramDir.h"
#include "platform/ProcessGuard.h"
#include "ui/QtTranslations.h"
#include "ui/QuarnelApp.h"

#include "QuarnelVersion.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

const char* const kUsage = "usage: quarnel [--dir DIR] [Qt options]\n";

void PrintHelp() {
    std::fputs(kUsage, stdout);
    std::fputs("\n"
               "Browse FTP sites offline. The catalogue (site.ds and Data/) lives in DIR, else in\n"
               "$QUARNEL_DIR, else beside this executable when a site.ds is there, else in\n"
               "$XDG_DATA_HOME/quarnel (~/.local/share/quarnel), which is created when missing.\n"
               "\n"
               "  --dir DIR   the program directory (created when missing)\n"
               "  --version   print the version and exit\n"
               "  --help      print this help and exit\n",
               stdout);
}

// A display Qt can open: X11 or Wayland, or a platform named by QT_QPA_PLATFORM or -platform.
bool HasDisplay(int argc, char** argv) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return true;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

int UsageError(const char* message) {
    std::fprintf(stderr, "quarnel: %s\n%s", message, kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // The window holds every site's password.
    KeepSecretsOutOfCoreDumps();
    // Answered before Qt starts, so that they need no display.
    std::optional<std::string> dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("quarnel " QUARNEL_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--dir") == 0) {
            if (i + 1 >= argc)
                return UsageError("--dir needs a directory");
            dir = argv[++i];
        } else if (std::strncmp(argv[i], "--dir=", 6) == 0) {
            dir = argv[i] + 6;
        } else {
            continue;
        }
        if (dir->empty())
            return UsageError("--dir needs a directory");
    }

    // Without one Qt would abort, advising a reinstall that cannot help.
    if (!HasDisplay(argc, argv)) {
        std::fputs("quarnel: no display: neither DISPLAY nor WAYLAND_DISPLAY is set (run it in a desktop "
                   "session, or use quarnel-cli)\n",
                   stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarnel"));
    QApplication::setApplicationVersion(QStringLiteral(QUARNEL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("quarnel"));
    // The interface is Chinese whatever the locale: Qt's own dialogs and buttons too.
    QtTranslations::Install(app);
    // Qt has taken its own options out of argv; what is left besides --dir is not understood.
    const QStringList rest = QApplication::arguments();
    for (qsizetype i = 1; i < rest.size(); ++i) {
        if (rest[i] == QLatin1String("--dir")) {
            ++i;
        } else if (!rest[i].startsWith(QLatin1String("--dir="))) {
            const std::string message = "unknown argument " + rest[i].toStdString();
            return UsageError(message.c_str());
        }
    }

    const ProgramDirChoice chosen = ChooseProgramDir(ProgramDirInputsOfProcess(dir));
    if (!chosen.error.empty()) {
        std::fprintf(stderr, "quarnel: %s\n", chosen.error.c_str());
        return 1;
    }
    CQuarnelApp theApp;
    theApp.m_strAppDir = chosen.path;
    if (!theApp.InitInstance())
        return theApp.HandedOver() ? 0 : 1;
    return app.exec();
}
