// Build-time tool: turns the help page (HTML) into help.pdf with Qt's own text layout, so no
// document tool is needed. Usage: make_help_pdf INPUT.html OUTPUT.pdf
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

#include <cstdio>

int main(int argc, char** argv) {
    // Runs during the build without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_help_pdf INPUT.html OUTPUT.pdf\n");
        return 2;
    }
    QFile input(QString::fromLocal8Bit(argv[1]));
    if (!input.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make_help_pdf: cannot read %s\n", argv[1]);
        return 1;
    }
    const QString html = QString::fromUtf8(input.readAll());

    // Written beside the target and renamed, so a failed run never leaves half a file.
    QSaveFile output(QString::fromLocal8Bit(argv[2]));
    if (!output.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "make_help_pdf: cannot write %s\n", argv[2]);
        return 1;
    }
    {
        QPdfWriter writer(&output);
        writer.setTitle(QStringLiteral("Quarnel 帮助"));
        writer.setCreator(QStringLiteral("Quarnel"));
        writer.setResolution(300);
        // QTextDocument::print() adds its own 2 cm margin on every side.
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));

        QTextDocument document;
        QFont font(QStringLiteral("WenQuanYi Micro Hei"));
        font.setPointSizeF(10.5);
        document.setDefaultFont(font);
        document.setHtml(html);
        document.print(&writer);
    }
    if (!output.commit()) {
        std::fprintf(stderr, "make_help_pdf: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
