#pragma once
// The keyword box of the search command ("查找"). The edit lowers every letter as it is typed,
// so the keyword never holds an upper-case letter.

#include <QDialog>
#include <QString>

#include <string>

class QLineEdit;
class QPushButton;

class CFindDialog : public QDialog {
    Q_OBJECT
public:
    enum ControlId : int { IDC_KEYWORD = 1001 };

    explicit CFindDialog(QWidget* parent = nullptr);

    // Empty each time the dialog opens; after OK the keyword as typed (lowered, not trimmed).
    QString m_strKeyword;
    std::string KeywordUtf8() const { return m_strKeyword.toStdString(); }

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* m_pKeywordEdit;
    QPushButton* m_pOkButton;
    QPushButton* m_pCancelButton;
};
