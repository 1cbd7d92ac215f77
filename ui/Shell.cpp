#include "ui/Shell.h"

#include "platform/TextCodec.h"

#include <QByteArray>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace Shell {

const char* const kCopiedMessage = "文件路径已复制到剪贴板上，粘贴到FTP软件或浏览器中即可。";

bool OpenExactUrl(const std::string& url) {
    // Strict: tolerant parsing would re-read the escapes as text and could change them.
    const QUrl qurl =
        QUrl::fromEncoded(QByteArray(url.data(), static_cast<qsizetype>(url.size())), QUrl::StrictMode);
    if (!qurl.isValid())
        return false;
    return QDesktopServices::openUrl(qurl);
}

bool OpenLocalFile(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void CopyUrl(const std::string& readableUtf8, const std::string& exact) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    auto* data = new QMimeData;
    data->setText(QString::fromStdString(readableUtf8));
    // The bytes as made, not through QUrl: a uri-list line is the encoded URL and CRLF.
    data->setData(QStringLiteral("text/uri-list"), QByteArray::fromStdString(exact + "\r\n"));
    clipboard->setMimeData(data);
}

void CopyExactUrl(const std::string& exact) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    auto* data = new QMimeData;
    data->setText(QString::fromLatin1(exact.data(), static_cast<qsizetype>(exact.size())));
    data->setData(QStringLiteral("text/uri-list"), QByteArray::fromStdString(exact + "\r\n"));
    clipboard->setMimeData(data);
}

} // namespace Shell
