// The stand-alone dialogs and the drawn pictures: control rules, data exchange, refusals with
// their exact texts, the search progress window, the close box's dots, icon sizes and looks.
// Each dialog is also rendered to ui-shots/ in the build directory for a look by eye.

#include "model/Records.h"
#include "ui/AboutDlg.h"
#include "ui/CloseDlg.h"
#include "ui/FindDialog.h"
#include "ui/Icons.h"
#include "ui/SearchDialog.h"
#include "ui/SiteDlg.h"

#include "ui/Splash.h"
#include "ui/UpdateNumSet.h"
#include <QComboBox>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

namespace {

const QString kShotDir = QStringLiteral(QUARNEL_UI_SHOT_DIR);

void SaveShot(QWidget* widget, const QString& name) {
    QDir().mkpath(kShotDir);
    widget->grab().save(kShotDir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Answers every message box that opens while it lives: records its caption and text, then
// presses its OK button, so a refusal does not block the test.
class MessageBoxCatcher {
public:
    MessageBoxCatcher() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            m_captions << box->windowTitle();
            m_texts << box->text();
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start();
    }
    QStringList m_texts;
    QStringList m_captions;

private:
    QTimer m_timer;
};

// Types any text, one key event per character (QTest::keyClicks takes Latin-1 only).
void TypeText(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

// Clicks a check box on its indicator (its centre may lie beyond its text).
void ClickCheckBox(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
}

template <typename T> T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    if (!child)
        qFatal("no child %s", name);
    return child;
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void siteDialogTextsAndIds();
    void siteDialogAnonymousRule();
    void siteDialogRefusals_data();
    void siteDialogRefusals();
    void siteDialogExchange();
    void updateNumSetRefusals_data();
    void updateNumSetRefusals();
    void updateNumSetAccepts();
    void findDialogLowersAsTyped();
    void searchDialogProgressAndStop();
    void closeDialogDots();
    void closeDialogClosesWhenIdle();
    void toolbarPictures();
    void treeImages();
    void splashAndAbout();
};

void TestDialogs::siteDialogTextsAndIds() {
    CSiteDlg dlg;
    dlg.show();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("服务器"));
    QCOMPARE(Child<QLabel>(&dlg, "hostLabel")->text(), QStringLiteral("站点"));
    QCOMPARE(Child<QLabel>(&dlg, "userLabel")->text(), QStringLiteral("用户名"));
    QCOMPARE(Child<QLabel>(&dlg, "passwordLabel")->text(), QStringLiteral("密码"));
    QCOMPARE(Child<QLabel>(&dlg, "portLabel")->text(), QStringLiteral("端口号"));
    QCOMPARE(Child<QLabel>(&dlg, "nicknameLabel")->text(), QStringLiteral("站点昵称:"));
    QCOMPARE(Child<QLabel>(&dlg, "remarkLabel")->text(), QStringLiteral("备注:"));
    QCOMPARE(Child<QLabel>(&dlg, "connectionsLabel")->text(), QStringLiteral("同时连接数:"));
    QCOMPARE(Child<QSpinBox>(&dlg, "connectionsSpin")->value(), 1);
    QCOMPARE(Child<QCheckBox>(&dlg, "anonymousCheck")->text(), QStringLiteral("匿名"));
    QCOMPARE(Child<QCheckBox>(&dlg, "anonymousUpdateCheck")->text(), QStringLiteral("是否匿名更新站点内容"));
    QCOMPARE(Child<QPushButton>(&dlg, "okButton")->text(), QStringLiteral("确定"));
    QCOMPARE(Child<QPushButton>(&dlg, "cancelButton")->text(), QStringLiteral("取消"));
    QCOMPARE(Child<QLineEdit>(&dlg, "hostEdit")->property("controlId").toInt(), 1001);
    QCOMPARE(Child<QLineEdit>(&dlg, "portEdit")->property("controlId").toInt(), 1005);
    QCOMPARE(Child<QPlainTextEdit>(&dlg, "remarkEdit")->property("controlId").toInt(), 1009);
    // Initial values: port 21, everything else empty or unticked.
    QCOMPARE(Child<QLineEdit>(&dlg, "portEdit")->text(), QStringLiteral("21"));
    QVERIFY(Child<QLineEdit>(&dlg, "hostEdit")->text().isEmpty());
    QVERIFY(!Child<QCheckBox>(&dlg, "anonymousCheck")->isChecked());
    QVERIFY(Child<QLineEdit>(&dlg, "userEdit")->isEnabled());
}

void TestDialogs::siteDialogAnonymousRule() {
    CSiteDlg dlg;
    SiteFields fields;
    fields.host = "srv";
    fields.anonymous = true;
    dlg.SetFields(fields);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* anonymous = Child<QCheckBox>(&dlg, "anonymousCheck");
    auto* user = Child<QLineEdit>(&dlg, "userEdit");
    auto* password = Child<QLineEdit>(&dlg, "passwordEdit");
    QVERIFY(anonymous->isChecked());
    QVERIFY(!user->isEnabled());
    QVERIFY(!password->isEnabled());
    QVERIFY(user->text().isEmpty());
    SaveShot(&dlg, QStringLiteral("site-dialog-anonymous"));

    // Un-ticking enables both, still empty; typed text survives ticking again.
    ClickCheckBox(anonymous);
    QVERIFY(!anonymous->isChecked());
    QVERIFY(user->isEnabled());
    QVERIFY(password->isEnabled());
    QVERIFY(user->text().isEmpty());
    QTest::keyClicks(user, QStringLiteral("bob"));
    ClickCheckBox(anonymous);
    QVERIFY(!user->isEnabled());
    QVERIFY(!password->isEnabled());
    QCOMPARE(user->text(), QStringLiteral("bob"));

    Child<QPushButton>(&dlg, "okButton")->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const SiteFields out = dlg.GetFields();
    QVERIFY(out.anonymous);
    QCOMPARE(out.user, std::string("bob"));
}

void TestDialogs::siteDialogRefusals_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("clash");   // what the window's check says of the fields
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::addColumn<QString>("focus");
    const QString noHost = QStringLiteral("站点不能为空！");
    const QString badHost = QStringLiteral("站点不能包含空格或控制字符！");
    const QString badPort = QStringLiteral("端口号必须是1到65535之间的数字！");
    const QString exists = QStringLiteral("站点已有！");
    QTest::newRow("empty host, port 0") << ""
                                        << "0"
                                        << "" << noHost << "hostEdit";
    QTest::newRow("blank in host") << "ftp example.org"
                                   << "21"
                                   << "" << badHost << "hostEdit";
    QTest::newRow("tab in host") << "ftp\texample.org"
                                 << "21"
                                 << "" << badHost << "hostEdit";
    QTest::newRow("control in host") << "srv\x01"
                                     << "21"
                                     << "" << badHost << "hostEdit";
    QTest::newRow("escape in host") << "srv\x1b[31m"
                                    << "21"
                                    << "" << badHost << "hostEdit";
    QTest::newRow("ideographic space") << "镜像\u3000站"
                                       << "21"
                                       << "" << badHost << "hostEdit";
    QTest::newRow("no-break space") << "srv\u00a0"
                                    << "21"
                                    << "" << badHost << "hostEdit";
    QTest::newRow("port 0") << "srv"
                            << "0"
                            << "" << badPort << "portEdit";
    QTest::newRow("port 70000") << "srv"
                                << "70000"
                                << "" << badPort << "portEdit";
    QTest::newRow("port 65536") << "srv"
                                << "65536"
                                << "" << badPort << "portEdit";
    QTest::newRow("port empty") << "srv"
                                << ""
                                << "" << badPort << "portEdit";
    QTest::newRow("another site's") << "127.0.0.1"
                                    << "21" << exists << exists << "hostEdit";
    QTest::newRow("port 1") << "srv"
                            << "1"
                            << ""
                            << ""
                            << "";
    QTest::newRow("port 65535, Chinese host") << "镜像.中国"
                                              << "65535"
                                              << ""
                                              << ""
                                              << "";
}

// What the dialog refuses it says in Chinese, in a box captioned "Quarnel", and stays open with
// what was typed, the field at fault focused; what it takes closes it.
void TestDialogs::siteDialogRefusals() {
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, clash);
    QFETCH(QString, message);
    QFETCH(QString, focus);

    CSiteDlg dlg;
    SiteFields asked;
    dlg.SetAcceptCheck([&](const SiteFields& fields) {
        asked = fields;
        return clash.toStdString();
    });
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* hostEdit = Child<QLineEdit>(&dlg, "hostEdit");
    auto* portEdit = Child<QLineEdit>(&dlg, "portEdit");
    hostEdit->setText(host);
    portEdit->setText(port);
    MessageBoxCatcher catcher;
    Child<QPushButton>(&dlg, "okButton")->click();
    if (message.isEmpty()) {
        QVERIFY(catcher.m_texts.isEmpty());
        QVERIFY(!dlg.isVisible());
        QCOMPARE(QString::fromStdString(dlg.GetFields().host), host);
        QCOMPARE(dlg.GetFields().port, port.toInt());
        QCOMPARE(QString::fromStdString(asked.host), host);
        return;
    }
    QCOMPARE(catcher.m_texts, QStringList{message});
    QCOMPARE(catcher.m_captions, QStringList{QStringLiteral("Quarnel")});
    QVERIFY(dlg.isVisible());
    QCOMPARE(hostEdit->text(), host);
    QCOMPARE(portEdit->text(), port);
    QCOMPARE(dlg.focusWidget()->objectName(), focus);
    // The window's check is asked only about fields the dialog itself takes.
    QCOMPARE(asked.host.empty(), clash.isEmpty());
}

void TestDialogs::siteDialogExchange() {
    SiteFields in;
    in.host = "ftp.example.org";
    in.user = "张三";
    in.password = "p@ss:word";
    in.port = 2121;
    in.nickname = "中文站点 ÄÖ";
    in.remark = "第一行\r\n第二行";
    in.anonymousUpdate = true;
    in.encoding = NameEncodingChoice::Gbk;
    in.connections = 3;

    CSiteDlg dlg;
    dlg.SetFields(in);
    dlg.show();
    QCOMPARE(Child<QComboBox>(&dlg, "encodingCombo")->currentText(), QStringLiteral("GBK"));
    QCOMPARE(Child<QSpinBox>(&dlg, "connectionsSpin")->value(), 3);
    QCOMPARE(Child<QLineEdit>(&dlg, "hostEdit")->text(), QStringLiteral("ftp.example.org"));
    QCOMPARE(Child<QLineEdit>(&dlg, "userEdit")->text(), QStringLiteral("张三"));
    QCOMPARE(Child<QLineEdit>(&dlg, "passwordEdit")->text(), QStringLiteral("p@ss:word"));
    QCOMPARE(Child<QLineEdit>(&dlg, "portEdit")->text(), QStringLiteral("2121"));
    QCOMPARE(Child<QLineEdit>(&dlg, "nicknameEdit")->text(), QStringLiteral("中文站点 ÄÖ"));
    QCOMPARE(Child<QPlainTextEdit>(&dlg, "remarkEdit")->toPlainText(), QStringLiteral("第一行\n第二行"));
    QVERIFY(Child<QCheckBox>(&dlg, "anonymousUpdateCheck")->isChecked());
    SaveShot(&dlg, QStringLiteral("site-dialog"));

    // Untouched fields come back byte for byte.
    Child<QPushButton>(&dlg, "okButton")->click();
    const SiteFields same = dlg.GetFields();
    QCOMPARE(same.host, in.host);
    QCOMPARE(same.user, in.user);
    QCOMPARE(same.password, in.password);
    QCOMPARE(same.port, in.port);
    QCOMPARE(same.nickname, in.nickname);
    QCOMPARE(same.remark, in.remark);
    QCOMPARE(same.anonymous, false);
    QCOMPARE(same.anonymousUpdate, true);
    QVERIFY(same.encoding == NameEncodingChoice::Gbk);
    QCOMPARE(same.connections, 3);

    // Typed values, including a new multi-line remark, which is handed over with CR LF.
    dlg.show();
    auto* nickname = Child<QLineEdit>(&dlg, "nicknameEdit");
    nickname->clear();
    TypeText(nickname, QStringLiteral("镜像"));
    auto* remark = Child<QPlainTextEdit>(&dlg, "remarkEdit");
    remark->clear();
    TypeText(remark, QStringLiteral("甲"));
    QTest::keyClick(remark, Qt::Key_Return);
    TypeText(remark, QStringLiteral("乙"));
    ClickCheckBox(Child<QCheckBox>(&dlg, "anonymousUpdateCheck"));
    Child<QComboBox>(&dlg, "encodingCombo")->setCurrentIndex(1);
    Child<QSpinBox>(&dlg, "connectionsSpin")->setValue(9); // held at the most allowed
    Child<QPushButton>(&dlg, "okButton")->click();
    const SiteFields typed = dlg.GetFields();
    QVERIFY(typed.encoding == NameEncodingChoice::Utf8);
    QCOMPARE(typed.connections, kMaxSiteConnections);
    QCOMPARE(typed.nickname, std::string("镜像"));
    QCOMPARE(typed.remark, std::string("甲\r\n乙"));
    QCOMPARE(typed.anonymousUpdate, false);

    // Another protocol suggests its port while the port is the last protocol's default; a
    // port the user typed stays.
    dlg.show();
    auto* protocol = Child<QComboBox>(&dlg, "protocolCombo");
    auto* port = Child<QLineEdit>(&dlg, "portEdit");
    QCOMPARE(protocol->currentIndex(), 0);
    port->setText(QStringLiteral("21"));
    protocol->setCurrentIndex(static_cast<int>(SiteProtocol::Sftp));
    QCOMPARE(port->text(), QStringLiteral("22"));
    protocol->setCurrentIndex(static_cast<int>(SiteProtocol::FtpImplicitTls));
    QCOMPARE(port->text(), QStringLiteral("990"));
    port->setText(QStringLiteral("2990"));
    protocol->setCurrentIndex(static_cast<int>(SiteProtocol::FtpExplicitTls));
    QCOMPARE(port->text(), QStringLiteral("2990"));
    Child<QPushButton>(&dlg, "okButton")->click();
    QVERIFY(dlg.GetFields().protocol == SiteProtocol::FtpExplicitTls);
    QCOMPARE(dlg.GetFields().port, 2990);

    // Cancel leaves the fields as they were.
    dlg.show();
    Child<QLineEdit>(&dlg, "hostEdit")->setText(QStringLiteral("other"));
    Child<QPushButton>(&dlg, "cancelButton")->click();
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(dlg.GetFields().host, in.host);
}

void TestDialogs::updateNumSetRefusals_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    const QString between = QStringLiteral("Please enter an integer between 1 and 500.");
    const QString integer = QStringLiteral("Please enter an integer.");
    QTest::newRow("zero") << QStringLiteral("0") << between;
    QTest::newRow("501") << QStringLiteral("501") << between;
    QTest::newRow("negative") << QStringLiteral("-3") << between;
    QTest::newRow("huge") << QStringLiteral("99999999999999999999") << between;
    QTest::newRow("letters") << QStringLiteral("abc") << integer;
    QTest::newRow("empty") << QString() << integer;
    QTest::newRow("trailing junk") << QStringLiteral("12x") << integer;
    QTest::newRow("decimal") << QStringLiteral("2.5") << integer;
}

void TestDialogs::updateNumSetRefusals() {
    QFETCH(QString, typed);
    QFETCH(QString, message);
    CUpdateNumSet dlg;
    dlg.m_nThreads = 5;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* edit = Child<QLineEdit>(&dlg, "threadsEdit");
    QCOMPARE(edit->text(), QStringLiteral("5"));
    edit->setText(typed);
    edit->deselect();
    MessageBoxCatcher catcher;
    Child<QPushButton>(&dlg, "okButton")->click();
    QCOMPARE(catcher.m_texts, QStringList{message});
    QCOMPARE(catcher.m_captions, QStringList{QStringLiteral("Quarnel")});
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.m_nThreads, 5);
    QCOMPARE(dlg.focusWidget(), edit);
    QCOMPARE(edit->selectedText(), typed);
}

void TestDialogs::updateNumSetAccepts() {
    CUpdateNumSet dlg;
    dlg.m_nThreads = 5;
    dlg.show();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("设置更新线程"));
    QCOMPARE(Child<QLabel>(&dlg, "threadsLabel")->text(), QStringLiteral("设置更新线程数："));
    QCOMPARE(Child<QLineEdit>(&dlg, "threadsEdit")->property("controlId").toInt(), 1001);
    SaveShot(&dlg, QStringLiteral("update-threads"));

    for (const auto& [typed, expected] :
         {std::pair{QStringLiteral("1"), 1}, std::pair{QStringLiteral(" 500 "), 500},
          std::pair{QStringLiteral("+12"), 12}}) {
        dlg.show();
        Child<QLineEdit>(&dlg, "threadsEdit")->setText(typed);
        MessageBoxCatcher catcher;
        Child<QPushButton>(&dlg, "okButton")->click();
        QVERIFY(catcher.m_texts.isEmpty());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_nThreads, expected);
    }

    // Cancel keeps the value it was opened with.
    dlg.m_nThreads = 7;
    dlg.show();
    Child<QLineEdit>(&dlg, "threadsEdit")->setText(QStringLiteral("9"));
    Child<QPushButton>(&dlg, "cancelButton")->click();
    QCOMPARE(dlg.m_nThreads, 7);
}

void TestDialogs::findDialogLowersAsTyped() {
    CFindDialog dlg;
    dlg.show();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("查找"));
    QCOMPARE(Child<QLabel>(&dlg, "keywordLabel")->text(), QStringLiteral("请输入查找关键词:"));
    auto* edit = Child<QLineEdit>(&dlg, "keywordEdit");
    TypeText(edit, QStringLiteral("ReadMe #NEW ＡＢ Ä"));
    QCOMPARE(edit->text(), QStringLiteral("readme #new ａｂ ä"));
    SaveShot(&dlg, QStringLiteral("find-dialog"));

    // Pasted text is lowered too; blanks are kept.
    edit->clear();
    edit->insert(QStringLiteral(" MiXeD 中文 "));
    QCOMPARE(edit->text(), QStringLiteral(" mixed 中文 "));
    Child<QPushButton>(&dlg, "okButton")->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.m_strKeyword, QStringLiteral(" mixed 中文 "));
    QCOMPARE(dlg.KeywordUtf8(), std::string(" mixed 中文 "));

    // Each opening starts empty; an empty keyword is accepted.
    dlg.show();
    QVERIFY(edit->text().isEmpty());
    QVERIFY(dlg.m_strKeyword.isEmpty());
    Child<QPushButton>(&dlg, "okButton")->click();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(dlg.m_strKeyword.isEmpty());
}

void TestDialogs::searchDialogProgressAndStop() {
    QWidget mainWindow;
    mainWindow.setGeometry(100, 100, 800, 600);
    mainWindow.show();

    CSearchDialog dlg(12, &mainWindow);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("正在搜索..."));
    QVERIFY(!dlg.isModal());
    auto* bar = Child<QProgressBar>(&dlg, "searchProgress");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 12);
    dlg.ShowCentredOver(&mainWindow);
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY2((dlg.frameGeometry().center() - mainWindow.frameGeometry().center()).manhattanLength() <= 4,
             qPrintable(QStringLiteral("%1,%2 vs %3,%4")
                            .arg(dlg.frameGeometry().center().x())
                            .arg(dlg.frameGeometry().center().y())
                            .arg(mainWindow.frameGeometry().center().x())
                            .arg(mainWindow.frameGeometry().center().y())));

    // The bar follows m_nDone on the 100 ms timer, not at once.
    dlg.m_nDone = 5;
    QCOMPARE(dlg.ShownPosition(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(dlg.ShownPosition(), 5, 1000);
    dlg.SetDone(12);
    QTRY_COMPARE_WITH_TIMEOUT(dlg.ShownPosition(), 12, 1000);
    SaveShot(&dlg, QStringLiteral("search-dialog"));

    QSignalSpy stop(&dlg, &CSearchDialog::StopRequested);
    auto* stopButton = Child<QPushButton>(&dlg, "stopButton");
    QCOMPARE(stopButton->text(), QStringLiteral("停止"));
    stopButton->click();
    QCOMPARE(stop.count(), 1);
    QVERIFY(!dlg.isVisible());

    // Esc and the close box ask for the stop as well.
    CSearchDialog esc(3, &mainWindow);
    esc.show();
    QSignalSpy escStop(&esc, &CSearchDialog::StopRequested);
    QTest::keyClick(&esc, Qt::Key_Escape);
    QCOMPARE(escStop.count(), 1);
    QVERIFY(!esc.isVisible());
    CSearchDialog closed(3, &mainWindow);
    closed.show();
    QSignalSpy closeStop(&closed, &CSearchDialog::StopRequested);
    closed.close();
    QCOMPARE(closeStop.count(), 1);

    // Counts above 16 bits keep their range.
    CSearchDialog big(100000);
    QCOMPARE(Child<QProgressBar>(&big, "searchProgress")->maximum(), 100000);
    big.m_nDone = 70000;
    big.OnTimer();
    QCOMPARE(big.ShownPosition(), 70000);
}

void TestDialogs::closeDialogDots() {
    CCloseDlg::ResetAnimation();
    const QString base = QStringLiteral("正在关闭连接,请稍后");
    CCloseDlg dlg([] { return false; });
    QVERIFY(dlg.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dlg.findChildren<QPushButton*>().isEmpty());
    dlg.show();
    QCOMPARE(dlg.Text(), base);
    QVERIFY(Child<QTimer>(&dlg, "closeTimer")->isActive());
    QCOMPARE(Child<QTimer>(&dlg, "closeTimer")->interval(), 1000);
    QStringList seen;
    for (int tick = 0; tick < 7; ++tick) {
        dlg.OnTimer();
        seen << dlg.Text();
        if (tick == 4)
            SaveShot(&dlg, QStringLiteral("close-dialog"));
    }
    QCOMPARE(seen, QStringList({base + ".", base + "..", base + "...", base + "....", base + ".....", base,
                                base + "."}));
    // Esc does not end the wait.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());

    // A second box in the same run goes on from where the first stopped.
    CCloseDlg second([] { return false; });
    second.show();
    QCOMPARE(second.Text(), base);
    second.OnTimer();
    QCOMPARE(second.Text(), base + "..");
}

void TestDialogs::closeDialogClosesWhenIdle() {
    // The box closes itself at the first tick that finds the engine idle...
    bool idle = false;
    CCloseDlg dlg([&idle] { return idle; });
    QTimer::singleShot(50, [&] { dlg.OnTimer(); });
    QTimer::singleShot(100, [&] { idle = true; });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QVERIFY(clock.elapsed() >= 900); // the real timer's first idle tick, a second after opening

    // ...or when its owner finishes it.
    CCloseDlg owned;
    QTimer::singleShot(50, &owned, &CCloseDlg::Finish);
    QCOMPARE(owned.exec(), int(QDialog::Accepted));
}

void TestDialogs::toolbarPictures() {
    QList<QImage> normals;
    QImage strip(Icons::kToolbarWidth * Icons::kToolbarPictureCount, Icons::kToolbarHeight * 2,
                 QImage::Format_ARGB32);
    strip.fill(QColor(0xf0, 0xf0, 0xf0));
    QPainter painter(&strip);
    for (int i = 0; i < Icons::kToolbarPictureCount; ++i) {
        const QPixmap normal = Icons::ToolbarPixmap(i);
        const QPixmap disabled = Icons::ToolbarPixmap(i, true);
        QCOMPARE(normal.size(), QSize(32, 28));
        QCOMPARE(disabled.size(), QSize(32, 28));
        QVERIFY(normal.toImage() != disabled.toImage());
        // Every picture draws something and leaves its corners transparent.
        const QImage image = normal.toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) > 128;
        QVERIFY2(opaque > 60, qPrintable(QString::number(i)));
        QVERIFY(!normals.contains(image));
        normals << image;

        const QIcon icon = Icons::ToolbarIcon(i);
        QCOMPARE(icon.pixmap(QSize(32, 28), QIcon::Normal).toImage().convertToFormat(QImage::Format_ARGB32),
                 image);
        QVERIFY(icon.pixmap(QSize(32, 28), QIcon::Disabled).toImage() !=
                icon.pixmap(QSize(32, 28)).toImage());
        // Drawn anew, not blown up, for high-density screens.
        QCOMPARE(icon.pixmap(QSize(32, 28), 2.0).size(), QSize(64, 56));
        painter.drawPixmap(i * 32, 0, normal);
        painter.drawPixmap(i * 32, 28, disabled);
    }
    painter.end();
    QDir().mkpath(kShotDir);
    strip.scaled(strip.size() * 3).save(kShotDir + QStringLiteral("/toolbar-x3.png"));
    QVERIFY(Icons::ToolbarPixmap(-1).size() == QSize(32, 28));
}

void TestDialogs::treeImages() {
    QList<QImage> images;
    QImage strip(16 * Icons::kTreeImageCount, 16, QImage::Format_ARGB32);
    strip.fill(Qt::white);
    QPainter painter(&strip);
    for (int i = 0; i < Icons::kTreeImageCount; ++i) {
        const QPixmap pixmap = Icons::TreePixmap(i);
        QCOMPARE(pixmap.size(), QSize(16, 16));
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!images.contains(image), qPrintable(QString::number(i)));
        images << image;
        QVERIFY(!Icons::TreeIcon(i).isNull());
        painter.drawPixmap(i * 16, 0, pixmap);
    }
    painter.end();
    strip.scaled(strip.size() * 4).save(kShotDir + QStringLiteral("/tree-images-x4.png"));
    // A site's image is its status plus 2; an unknown status shows the star, not nothing.
    QCOMPARE(Icons::TreePixmap(Icons::kTreeStatusBase + 4).toImage().convertToFormat(QImage::Format_ARGB32),
             images[6]);
    QCOMPARE(Icons::TreePixmap(99).toImage().convertToFormat(QImage::Format_ARGB32), images[2]);
    QCOMPARE(Icons::TreePixmap(3, 32).size(), QSize(32, 32));
    QVERIFY(!Icons::SiteStatusIcon(UpdateStatus::NotUpdated).isNull());
}

void TestDialogs::splashAndAbout() {
    CSplash splash;
    QCOMPARE(splash.size(), QSize(550, 373));
    QCOMPARE(splash.Picture().size(), QSize(550, 373));
    QVERIFY(!splash.Picture().hasAlphaChannel());
    splash.ShowCentred();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(splash.pos(),
             QPoint(screen.left() + (screen.width() - 550) / 2, screen.top() + (screen.height() - 373) / 2));
    SaveShot(&splash, QStringLiteral("splash"));

    const QIcon app = Icons::AppIcon();
    QVERIFY(!app.isNull());
    QCOMPARE(app.pixmap(32, 32).size(), QSize(32, 32));
    Icons::AppPixmap(128).save(kShotDir + QStringLiteral("/app-icon-128.png"));

    CAboutDlg about;
    about.show();
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Quarnel"));
    QCOMPARE(Child<QLabel>(&about, "aboutVersion")->text(), QStringLiteral("Quarnel 1.3.1"));
    QCOMPARE(Child<QPushButton>(&about, "okButton")->text(), QStringLiteral("确定"));
    QVERIFY(!Child<QLabel>(&about, "aboutIcon")->pixmap().isNull());
    SaveShot(&about, QStringLiteral("about"));
    Child<QPushButton>(&about, "okButton")->click();
    QCOMPARE(about.result(), int(QDialog::Accepted));
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
