// The import command's open-file dialog: its two filters, and "all files(*.*)" showing names
// without a dot, as the filter's name promises.

#include "ui/ImportFileDialog.h"

#include <QComboBox>
#include <QFileSystemModel>
#include <QTest>

class TestImportDialog : public QObject {
    Q_OBJECT
private slots:
    void allFilesShowsNamesWithoutADot();
};

void TestImportDialog::allFilesShowsNamesWithoutADot() {
    auto dialog = CreateImportFileDialog(nullptr);
    QCOMPARE(dialog->nameFilters(), QStringList({"Text File(*.txt)", "all files(*.*)"}));
    QCOMPARE(dialog->defaultSuffix(), QStringLiteral("txt"));

    auto* model = dialog->findChild<QFileSystemModel*>();
    QVERIFY(model);
    dialog->show();
    QCOMPARE(model->nameFilters(), QStringList({"*.txt"}));

    auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(combo);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QStringLiteral("all files(*.*)"));
    QCOMPARE(model->nameFilters(), QStringList({"*"}));

    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(model->nameFilters(), QStringList({"*.txt"}));
}

QTEST_MAIN(TestImportDialog)
#include "test_import_dialog.moc"
