#include "ui/InstanceChannel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTag[] = "QRNLARG1";
constexpr qsizetype kTagSize = sizeof(kTag) - 1;
constexpr qsizetype kHeaderSize = kTagSize + 4;
constexpr char kAnswer[] = "OK\n";

// The user of the process at the other end of a connected local socket, or -1.
long PeerUid(const QLocalSocket& socket) {
    ucred cred{};
    socklen_t size = sizeof(cred);
    if (getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return -1;
    return static_cast<long>(cred.uid);
}

// The user's runtime directory when it is the user's own and closed to others, else empty.
QString PrivateRuntimeDir() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        return {};
    struct stat st {};
    if (stat(QFile::encodeName(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return {};
    return dir;
}

} // namespace

CInstanceChannel::CInstanceChannel(QObject* parent) : QObject(parent) {}

CInstanceChannel::~CInstanceChannel() {
    if (m_pServer)
        m_pServer->close(); // removes the socket's file
}

QString CInstanceChannel::SocketPath(const QString& appDir) {
    const QString runtime = PrivateRuntimeDir();
    if (runtime.isEmpty())
        return {};
    QFileInfo info(appDir);
    QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        canonical = QDir::cleanPath(info.absoluteFilePath());
    // A socket's path has room for about a hundred bytes: the directory goes in as a digest.
    const QByteArray digest =
        QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256).toHex().left(24);
    return runtime + QStringLiteral("/quarnel-") + QString::fromLatin1(digest);
}

bool CInstanceChannel::Listen(const QString& path) {
    if (path.isEmpty())
        return false;
    delete m_pServer;
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(path)) {
        // Left by a window program that ended without closing it.
        QLocalServer::removeServer(path);
        if (!m_pServer->listen(path)) {
            delete m_pServer;
            m_pServer = nullptr;
            return false;
        }
    }
    connect(m_pServer, &QLocalServer::newConnection, this, &CInstanceChannel::OnNewConnection);
    return true;
}

QString CInstanceChannel::ListeningPath() const {
    return m_pServer ? m_pServer->fullServerName() : QString();
}

void CInstanceChannel::OnNewConnection() {
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (PeerUid(*socket) != static_cast<long>(getuid())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A peer that never finishes its message is dropped.
        QTimer::singleShot(kReadMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        if (socket->bytesAvailable() > 0)
            OnReadyRead(socket);
    }
}

void CInstanceChannel::OnReadyRead(QLocalSocket* socket) {
    if (socket->property("answered").toBool())
        return;
    QByteArray buffer = socket->property("buffer").toByteArray();
    buffer += socket->read(kMaxMessage + kHeaderSize + 1 - buffer.size());
    const qsizetype length = MessageLength(buffer);
    if (length < 0 || (length == 0 && buffer.size() > kMaxMessage + kHeaderSize)) {
        socket->abort();
        return;
    }
    if (length == 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("answered", true);
    socket->setProperty("buffer", QVariant());
    const QStringList arguments = Decode(buffer.left(length));
    // The answer first: the other start ends at once, whatever acting on them takes.
    socket->write(kAnswer);
    socket->flush();
    socket->disconnectFromServer();
    emit ArgumentsReceived(arguments);
}

QByteArray CInstanceChannel::Encode(const QStringList& arguments) {
    QByteArray body;
    for (const QString& argument : arguments) {
        body += argument.toUtf8().replace('\0', "");
        body += '\0';
    }
    QByteArray message(kTag, kTagSize);
    char size[4];
    qToBigEndian(static_cast<quint32>(body.size()), size);
    message.append(size, 4);
    return message + body;
}

qsizetype CInstanceChannel::MessageLength(const QByteArray& buffer) {
    const qsizetype tagBytes = std::min(buffer.size(), kTagSize);
    if (buffer.left(tagBytes) != QByteArray(kTag, tagBytes))
        return -1;
    if (buffer.size() < kHeaderSize)
        return 0;
    const quint32 body = qFromBigEndian<quint32>(buffer.constData() + kTagSize);
    if (body > static_cast<quint32>(kMaxMessage))
        return -1;
    const qsizetype whole = kHeaderSize + static_cast<qsizetype>(body);
    return buffer.size() >= whole ? whole : 0;
}

QStringList CInstanceChannel::Decode(const QByteArray& message) {
    QStringList arguments;
    for (qsizetype from = kHeaderSize;;) {
        const qsizetype end = message.indexOf('\0', from);
        if (end < 0)
            break; // bytes after the last NUL are no whole argument
        arguments << QString::fromUtf8(message.mid(from, end - from));
        from = end + 1;
    }
    return arguments;
}

bool CInstanceChannel::HandOver(const QString& path, const QStringList& arguments, int answerMs) {
    if (path.isEmpty())
        return false;
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return std::max(0, answerMs - static_cast<int>(clock.elapsed())); };
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(left()))
        return false;
    socket.write(Encode(arguments));
    if (!socket.waitForBytesWritten(left()))
        return false;
    QByteArray answer;
    while (answer.size() < qsizetype(sizeof(kAnswer) - 1) && socket.waitForReadyRead(left()))
        answer += socket.read(qsizetype(sizeof(kAnswer) - 1) - answer.size());
    // The answer may have come with the close.
    answer += socket.read(qsizetype(sizeof(kAnswer) - 1) - answer.size());
    return answer == kAnswer;
}
