#pragma once
// The about box ("关于 Quarnel"): the program's icon, its name and version, and "确定".

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
