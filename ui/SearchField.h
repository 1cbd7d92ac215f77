#pragma once
// The search field of the toolbar: results in the list as the user types. It only reads what is
// typed; the main window runs the query. A query is handed on once typing pauses for a moment
// (a burst of keys makes one search), Escape clears the field, Enter opens the first result.
// While sites are being read first, or a search runs, its progress fills the field from the left.

#include <QLineEdit>
#include <QTimer>

class CSearchField : public QLineEdit {
    Q_OBJECT
public:
    explicit CSearchField(QWidget* parent = nullptr);

    // Progress of what the field waits for, from 0 to 1; a negative value clears it.
    void SetProgress(double fraction);
    // The query cannot be read: the field says why (its tip) and looks so; empty clears it.
    void SetError(const QString& why);

    // How long typing must pause before a search starts.
    static constexpr int kPauseMs = 15;

signals:
    void QueryChanged(const QString& text); // a search for `text` (empty: back to browsing)
    void Edited();                          // the text changed: a search for the old one is stale
    void Escaped();                         // the field was cleared with Escape
    void Activated();                       // Enter: open the current result

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Restyle();

    QTimer m_pause;
    QString m_helpTip;
    double m_progress = -1;
    bool m_bError = false;
};
