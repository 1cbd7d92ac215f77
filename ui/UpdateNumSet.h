#pragma once
// The dialog that sets how many update workers may run at once ("设置更新线程").

#include <QDialog>

class QLineEdit;
class QPushButton;

class CUpdateNumSet : public QDialog {
    Q_OBJECT
public:
    enum ControlId : int { IDC_THREADS = 1001 };
    static constexpr int kMinThreads = 1;
    static constexpr int kMaxThreads = 500;

    explicit CUpdateNumSet(QWidget* parent = nullptr);

    // Set it before exec (to GetMaxUpdateThreads()); after OK it holds the accepted value.
    int m_nThreads = 5;

    // Field -> edit (also done when the dialog is shown).
    void LoadControls();
    // Edit -> field with the range check; false (message shown, text selected) on refusal.
    bool SaveControls();

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Refuse(const QString& text);

    QLineEdit* m_pThreadsEdit;
    QPushButton* m_pOkButton;
    QPushButton* m_pCancelButton;
};
