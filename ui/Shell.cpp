#include "ui/Shell.h"

#include "platform/TextCodec.h"

#include <QByteArray>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

namespace Shell {

const char* const kCopiedMessage = "文件路径已复制到剪贴板上，粘贴到FTP软件或浏览器中即可。";

bool OpenNarrowUrl(const std::string& url) {
    const QUrl qurl = QUrl::fromEncoded(QByteArray(url.data(), static_cast<qsizetype>(url.size())),
                                        QUrl::TolerantMode);
    if (!qurl.isValid())
        return false;
    return QDesktopServices::openUrl(qurl);
}

bool OpenLocalFile(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void CopyNarrowText(const std::string& text) {
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromStdString(NarrowToUtf8(text)));
}

}  // namespace Shell
