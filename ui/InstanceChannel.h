#pragma once
// The line between a window program and a second start on the same program directory: the first
// listens on a local socket named from its directory, the second hands it its arguments and
// ends once it has answered. The socket lies in the user's own runtime directory, is open to
// the user alone, and a peer of another user is dropped unheard; what a peer sends is bounded.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

class CInstanceChannel : public QObject {
    Q_OBJECT
public:
    // The most a message may hold; a longer one is dropped with its connection.
    static constexpr int kMaxMessage = 64 * 1024;
    // How long a second start waits for the first to take its arguments and answer.
    static constexpr int kAnswerMs = 2000;
    // How long the first waits for a peer's whole message.
    static constexpr int kReadMs = 2000;

    explicit CInstanceChannel(QObject* parent = nullptr);
    ~CInstanceChannel() override;

    // The socket's path for the program directory `appDir` (the same directory, however it is
    // written, gives the same path); empty when the user has no runtime directory.
    static QString SocketPath(const QString& appDir);

    // Listens on `path`; a socket left there by a program that ended is taken over (the caller
    // holds the directory's window lock, so nobody else listens there). False when it cannot.
    bool Listen(const QString& path);
    QString ListeningPath() const;

    // The second start: hands `arguments` to the program listening on `path` and waits up to
    // `answerMs` for its answer. True when it answered: it has them and acts on them.
    static bool HandOver(const QString& path, const QStringList& arguments, int answerMs = kAnswerMs);

    // The message as sent: a tag, the length, then the arguments in UTF-8, each ended by NUL.
    static QByteArray Encode(const QStringList& arguments);
    // How much of `buffer` one message takes (0: not whole yet, -1: no message of ours).
    static qsizetype MessageLength(const QByteArray& buffer);
    static QStringList Decode(const QByteArray& message);

signals:
    // Another start handed over its arguments.
    void ArgumentsReceived(const QStringList& arguments);

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);

    QLocalServer* m_pServer = nullptr;
};
