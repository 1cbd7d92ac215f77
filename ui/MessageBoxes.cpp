#include "ui/MessageBoxes.h"

#include <QAbstractButton>

namespace MessageBoxes {

void UseChineseButtonTexts(QMessageBox& box) {
    if (QAbstractButton* ok = box.button(QMessageBox::Ok))
        ok->setText(QStringLiteral("确定"));
    if (QAbstractButton* cancel = box.button(QMessageBox::Cancel))
        cancel->setText(QStringLiteral("取消"));
}

void Show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& detail) {
    QMessageBox box(icon, QStringLiteral("Quarnel"), text, QMessageBox::Ok, parent);
    if (!detail.isEmpty())
        box.setInformativeText(detail);
    UseChineseButtonTexts(box);
    box.exec();
}

} // namespace MessageBoxes
