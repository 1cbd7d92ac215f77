#pragma once
// Every picture of the program, SVG files compiled in from res/icons (nothing is fetched):
// the nine toolbar pictures (with a disabled look), the images of the site tree, the program
// icon. Pictures are drawn once and cached; call these from the window thread only.

#include <QIcon>
#include <QPixmap>

#include <cstdint>

enum class UpdateStatus : int32_t; // model/Records.h

namespace Icons {

// Toolbar pictures, in button order: mark read, toggle, edit, add, search, update, back,
// forward, up.
enum ToolbarPicture : int {
    kToolMarkRead = 0,
    kToolToggle,
    kToolEdit,
    kToolAdd,
    kToolSearch,
    kToolUpdate,
    kToolBack,
    kToolForward,
    kToolUp,
    kToolbarPictureCount
};

inline constexpr int kToolbarWidth = 32;
inline constexpr int kToolbarHeight = 28;

// One toolbar picture, 32 x 28, normal or disabled look.
QPixmap ToolbarPixmap(int picture, bool disabled = false);
// The same picture as an icon carrying both the Normal and the Disabled mode.
QIcon ToolbarIcon(int picture);

// Site tree images by index: 0 closed folder, 1 open folder, 2 + m_nUpdateStatus for a site
// (2 star: not updated, 3 red cross: failed, 4 green check: succeeded, 5 red bar: ended early,
// 6 green circling arrows: waiting or running).
inline constexpr int kTreeClosedFolder = 0;
inline constexpr int kTreeOpenFolder = 1;
inline constexpr int kTreeStatusBase = 2;
inline constexpr int kTreeImageCount = 7;

// The image at `index` as a square pixmap of `size` pixels (16 is the small-icon size).
// Out-of-range indices give the "not updated" star so a bad status never shows nothing.
QPixmap TreePixmap(int index, int size = 16);
QIcon TreeIcon(int index);
// The image of a site with the given m_nUpdateStatus.
inline QIcon SiteStatusIcon(UpdateStatus updateStatus) {
    return TreeIcon(kTreeStatusBase + static_cast<int>(updateStatus));
}

// The program's icon (several sizes) and one pixmap of it.
QIcon AppIcon();
QPixmap AppPixmap(int size);

} // namespace Icons
