// A second window program on the same program directory says so and ends before it shows
// anything or reads a file.

#include "model/FileLock.h"
#include "model/Paths.h"
#include "ui/QuarnelApp.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void secondStartIsRefused();
};

void TestSingleInstance::secondStartIsRefused() {
    // The first window program, played by this test: it holds the directory's window lock.
    SetAppDir(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    CFileLock first;
    QVERIFY(first.Lock(WindowLockPath(), std::chrono::milliseconds(0)));

    QString caption, text;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            caption = box->windowTitle();
            text = box->text();
            box->accept();
        }
    });
    answer.start(20);
    CQuarnelApp second;
    second.m_strAppDir = GetAppDir();
    QVERIFY(!second.InitInstance(false));
    QCOMPARE(caption, QStringLiteral("Quarnel"));
    QCOMPARE(text, QStringLiteral("Quarnel已经在运行。"));
    QVERIFY(!second.MainFrame());
}

QTEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
