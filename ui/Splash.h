#pragma once
// The window shown while the program starts: a picture without caption, centred on the
// primary screen, exactly the picture's size.

#include <QPixmap>
#include <QWidget>

class CSplash : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 550;
    static constexpr int kHeight = 373;

    explicit CSplash(QWidget* parent = nullptr);

    // Centres the window on the primary screen, shows it and paints it at once, so the picture
    // is on the screen even if the caller then blocks the thread.
    void ShowCentred();

    // The picture (550 x 373, opaque), drawn anew on each call.
    static QPixmap DrawPicture();

    const QPixmap& Picture() const { return m_bitmap; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_bitmap;
};
