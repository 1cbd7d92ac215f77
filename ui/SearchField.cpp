#include "ui/SearchField.h"

#include <QKeyEvent>

#include <algorithm>

CSearchField::CSearchField(QWidget* parent) : QLineEdit(parent) {
    setObjectName(QStringLiteral("searchField"));
    setPlaceholderText(QString::fromUtf8("即时查找：名称、拼音首字母、size:>700M、ext:mkv …"));
    m_helpTip = QString::fromUtf8("输入即查找所有站点。多个词须同时匹配；\"短语\"；-排除；* ? 通配；\n"
                                  "size:>700M  size:1G..4G  type:dir  type:file  ext:mkv,avi  new:\n"
                                  "site:站点  path:路径中的词  re:正则表达式；Esc 清除，回车打开。");
    setToolTip(m_helpTip);
    setClearButtonEnabled(true);
    setMinimumWidth(260);
    m_pause.setSingleShot(true);
    m_pause.setInterval(kPauseMs);
    connect(this, &QLineEdit::textChanged, this, [this] {
        m_pause.start();
        emit Edited();
    });
    connect(&m_pause, &QTimer::timeout, this, [this] { emit QueryChanged(text()); });
}

void CSearchField::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        m_pause.stop();
        clear();
        m_pause.stop(); // clear() started it again
        emit QueryChanged(QString());
        emit Escaped();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (m_pause.isActive()) { // the last keys have not been searched for yet
            m_pause.stop();
            emit QueryChanged(text());
        }
        emit Activated();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void CSearchField::SetProgress(double fraction) {
    m_progress = fraction;
    Restyle();
}

void CSearchField::SetError(const QString& why) {
    m_bError = !why.isEmpty();
    setToolTip(m_bError ? why : m_helpTip);
    Restyle();
}

void CSearchField::Restyle() {
    QString style;
    if (m_bError) {
        style = QStringLiteral("QLineEdit { color: #b00020; }");
    } else if (m_progress >= 0) {
        const double f = std::min(1.0, m_progress);
        style =
            QStringLiteral("QLineEdit { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, "
                           "stop:0 #cfe3f7, stop:%1 #cfe3f7, stop:%2 palette(base), stop:1 palette(base)); }")
                .arg(f, 0, 'f', 3)
                .arg(std::min(1.0, f + 0.001), 0, 'f', 3);
    }
    setStyleSheet(style);
}
