// One window program per program directory: a second start hands the first its arguments and
// that window comes to the front; when the first does not answer, the second says it runs and
// ends before it shows anything or reads a file. The channel between them takes only whole
// messages of its own kind and size, from a socket of the user's own.

#include "model/FileLock.h"
#include "model/Paths.h"
#include "ui/InstanceChannel.h"
#include "ui/MainFrame.h"
#include "ui/QuarnelApp.h"

#include <QApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace {

// Answers the next message box, keeping its caption and text.
struct BoxCatcher {
    QString caption, text;
    QTimer timer;
    BoxCatcher() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                caption = box->windowTitle();
                text = box->text();
                box->accept();
            }
        });
        timer.start(20);
    }
};

// This program as a second start on `dir`: 0 when it handed over, 1 when it said the window
// runs (the text on standard output), 3 when it started a window of its own.
int RunSecondStart(int argc, char** argv) {
    QApplication app(argc, argv);
    BoxCatcher box;
    CQuarnelApp second;
    second.m_strAppDir = argv[2];
    const bool started = second.InitInstance(false);
    std::fputs(box.text.toUtf8().constData(), stdout);
    return started ? 3 : second.HandedOver() ? 0 : 1;
}

QByteArray Header(const char* tag, quint32 length) {
    char size[4];
    qToBigEndian(length, size);
    return QByteArray(tag) + QByteArray(size, 4);
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void secondStartBringsTheFirstToTheFront();
    void unansweredSecondStartSaysItRuns_data();
    void unansweredSecondStartSaysItRuns();
    void channelTakesOnlyWholeMessagesOfItsOwn_data();
    void channelTakesOnlyWholeMessagesOfItsOwn();
    void socketNamedFromTheDirectoryForTheUserAlone();

private:
    QTemporaryDir m_home; // the runtime and settings directories of both starts
};

void TestSingleInstance::initTestCase() {
    QVERIFY(m_home.isValid());
    QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral("run")));
    QFile::setPermissions(m_home.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_home.path() + "/run"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path() + "/config"));
}

void TestSingleInstance::secondStartBringsTheFirstToTheFront() {
    QTemporaryDir appDir;
    CQuarnelApp first;
    first.m_strAppDir = QFile::encodeName(appDir.path()).toStdString();
    QVERIFY(first.InitInstance(false));
    QVERIFY(first.Channel());
    QSignalSpy handed(first.Channel(), &CInstanceChannel::ArgumentsReceived);
    CMainFrame* frame = first.MainFrame();
    frame->showMinimized();
    QTRY_VERIFY(frame->isMinimized());

    QProcess second;
    second.setProgram(QCoreApplication::applicationFilePath());
    second.setArguments(
        {QStringLiteral("--second-start"), appDir.path(), QStringLiteral("--dir"), appDir.path()});
    second.start();
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(QString::fromUtf8(second.readAllStandardOutput()), QString());
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(handed.size(), 1);
    QCOMPARE(handed.first().first().toStringList(),
             (QStringList{QStringLiteral("--second-start"), appDir.path(), QStringLiteral("--dir"),
                          appDir.path()}));
    QTRY_VERIFY(!frame->isMinimized());
    QVERIFY(frame->isVisible());
    QTRY_VERIFY(frame->isActiveWindow());
}

// The first start holds the directory's window lock; behind its socket is nobody, or a program
// that takes the connection and never answers.
void TestSingleInstance::unansweredSecondStartSaysItRuns_data() {
    QTest::addColumn<bool>("listening");
    QTest::newRow("nobody listens") << false;
    QTest::newRow("no answer") << true;
}

void TestSingleInstance::unansweredSecondStartSaysItRuns() {
    QFETCH(bool, listening);
    QTemporaryDir appDir;
    SetAppDir(QFile::encodeName(appDir.path()).toStdString());
    CFileLock first;
    QVERIFY(first.Lock(WindowLockPath(), std::chrono::milliseconds(0)));
    QLocalServer silent;
    if (listening)
        QVERIFY(silent.listen(CInstanceChannel::SocketPath(appDir.path())));

    BoxCatcher box;
    CQuarnelApp second;
    second.m_strAppDir = GetAppDir();
    QVERIFY(!second.InitInstance(false));
    QVERIFY(!second.HandedOver());
    QCOMPARE(box.caption, QStringLiteral("Quarnel"));
    QCOMPARE(box.text, QStringLiteral("Quarnel已经在运行。"));
    QVERIFY(!second.MainFrame());
}

// Bytes a peer sends, and the arguments the channel takes from them (dropped: none, and the
// connection is closed without an answer).
void TestSingleInstance::channelTakesOnlyWholeMessagesOfItsOwn_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("arguments") << CInstanceChannel::Encode({"--dir", "/数据/q", ""}) << true
                               << QStringList{"--dir", "/数据/q", ""};
    QTest::newRow("none") << CInstanceChannel::Encode({}) << true << QStringList{};
    QTest::newRow("tail without NUL")
        << Header("QRNLARG1", 4) + QByteArray("a\0bc", 4) << true << QStringList{"a"};
    QTest::newRow("too long") << Header("QRNLARG1", CInstanceChannel::kMaxMessage + 1) + QByteArray(4096, 'x')
                              << false << QStringList{};
    QTest::newRow("foreign") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false << QStringList{};
    QTest::newRow("cut short") << Header("QRNLARG1", 100) + QByteArray("--dir") << false << QStringList{};
}

void TestSingleInstance::channelTakesOnlyWholeMessagesOfItsOwn() {
    QFETCH(QByteArray, sent);
    QFETCH(bool, taken);
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    CInstanceChannel channel;
    QVERIFY(channel.Listen(dir.path() + "/socket"));
    QSignalSpy spy(&channel, &CInstanceChannel::ArgumentsReceived);
    QLocalSocket peer;
    peer.connectToServer(channel.ListeningPath());
    QVERIFY(peer.waitForConnected(5000));
    peer.write(sent);
    QByteArray answer;
    connect(&peer, &QLocalSocket::readyRead, [&] { answer += peer.readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(peer.state() == QLocalSocket::UnconnectedState, CInstanceChannel::kReadMs * 3);
    answer += peer.readAll();
    QCOMPARE(spy.size(), taken ? 1 : 0);
    QCOMPARE(answer, taken ? QByteArray("OK\n") : QByteArray());
    if (taken)
        QCOMPARE(spy.first().first().toStringList(), arguments);

    // Whatever came before, the next start is answered.
    std::atomic<int> result{-1};
    std::thread next([&] { result = CInstanceChannel::HandOver(channel.ListeningPath(), {"x"}) ? 1 : 0; });
    QTRY_VERIFY(result >= 0);
    next.join();
    QCOMPARE(result.load(), 1);
    QCOMPARE(spy.last().first().toStringList(), QStringList{"x"});
}

void TestSingleInstance::socketNamedFromTheDirectoryForTheUserAlone() {
    QTemporaryDir dir, other;
    const QString path = CInstanceChannel::SocketPath(dir.path());
    QVERIFY(path.startsWith(m_home.path() + "/run/"));
    QCOMPARE(CInstanceChannel::SocketPath(dir.path() + "/"), path);
    QCOMPARE(CInstanceChannel::SocketPath(dir.path() + "/sub/.."), path);
    QVERIFY(QFile::link(dir.path(), other.path() + "/link"));
    QCOMPARE(CInstanceChannel::SocketPath(other.path() + "/link"), path);
    QVERIFY(CInstanceChannel::SocketPath(other.path()) != path);

    // A socket left by a window program that ended is taken over, and opened to the user alone.
    QLocalServer left;
    QVERIFY(left.listen(path));
    CInstanceChannel channel;
    QVERIFY(channel.Listen(path));
    struct stat st {};
    QCOMPARE(stat(QFile::encodeName(path).constData(), &st), 0);
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_mode & (S_IRWXG | S_IRWXO), 0u);
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--second-start") == 0)
        return RunSecondStart(argc, argv);
    QApplication app(argc, argv);
    TestSingleInstance test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_single_instance.moc"
