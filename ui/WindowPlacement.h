#pragma once
// The main window's size, position, maximized state, the width of the tree pane and the widths
// of the list's columns, kept from one run to the next in $XDG_CONFIG_HOME/quarnel/quarnel.conf
// (~/.config/quarnel/). The update thread count is not kept: every run starts with the default.

#include <QRect>
#include <QString>

class QMainWindow;
class QSplitter;

namespace WindowPlacement {

// The settings file.
QString FilePath();

// Applies what the last run saved, before the window is shown. A geometry that no screen shows
// enough of to grab the window, or a file without one, leaves the window as it was built.
void Restore(QMainWindow& window, QSplitter& splitter);

// Writes the window's placement; the window must still be shown.
void Save(const QMainWindow& window, const QSplitter& splitter);

// The widths of the list's columns as kept ("300,100,600"), and back; a width that is not a
// number is left as it is, one out of reason brought back within it.
QString ColumnWidthsText(const QMainWindow& window);
void RestoreColumns(QMainWindow& window, const QString& text);

// `saved` as it may be used on the screens there are now: moved and shrunk onto the screen
// that shows most of it; null when no screen shows enough of it.
QRect Sanitized(const QRect& saved);

} // namespace WindowPlacement
