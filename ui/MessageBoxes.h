#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Message boxes in the interface's language: Qt labels its standard buttons in English unless a
// translation is installed, and the program ships none.
namespace MessageBoxes {

// Relabels the box's standard OK and Cancel buttons "确定" and "取消".
void UseChineseButtonTexts(QMessageBox& box);

// A modal box captioned "Quarnel" with the given icon, text and one "确定" button. `detail`, when
// not empty, goes below the text in smaller print: the file and the system's reason.
void Show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& detail = QString());

} // namespace MessageBoxes
