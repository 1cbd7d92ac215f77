#include "ui/ImportFileDialog.h"

#include <QFileSystemModel>

std::unique_ptr<QFileDialog> CreateImportFileDialog(QWidget* parent) {
    auto dialog = std::make_unique<QFileDialog>(parent);
    // Qt's own dialog: its file model is the one whose filter is widened below.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::ReadOnly);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    const QString allFilter = QString::fromLatin1(kImportAllFilter);
    dialog->setNameFilters({QString::fromLatin1(kImportTextFilter), allFilter});
    if (auto* model = dialog->findChild<QFileSystemModel*>()) {
        // The dialog applies the filter's own pattern first, then reports the choice.
        QObject::connect(dialog.get(), &QFileDialog::filterSelected, model,
                         [model, allFilter](const QString& f) {
                             if (f == allFilter)
                                 model->setNameFilters({QStringLiteral("*")});
                         });
    }
    return dialog;
}

QString AskImportFile(QWidget* parent) {
    auto dialog = CreateImportFileDialog(parent);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return {};
    return dialog->selectedFiles().constFirst();
}
