#pragma once

// The resize bands along the edges of a frameless window, kept free of any
// window system so that the arithmetic is shared by the Windows hit-test and
// the desktop's resize loop elsewhere, and can be checked on its own.
namespace EdgeBands {

enum Band : unsigned
{
    None = 0,
    Left = 1,
    Top = 2,
    Right = 4,
    Bottom = 8,
};

// Deep enough to be caught with a mouse, shallow enough not to take clicks
// from the title bar's buttons or the status bar's link.
constexpr int kBorder = 6;

// The bands a window-relative point (x, y) lies in, for a window of width w
// and height h. Left and top take x < border; right and bottom x > w - border,
// so they are one pixel shallower, as the window's last pixel is w - 1.
constexpr unsigned bandsAt(int x, int y, int w, int h, int border = kBorder)
{
    unsigned bands = None;
    if (x < border) {
        bands |= Left;
    } else if (x > w - border) {
        bands |= Right;
    }
    if (y < border) {
        bands |= Top;
    } else if (y > h - border) {
        bands |= Bottom;
    }
    return bands;
}

// The Windows non-client hit-test code for a set of bands (HTTOPLEFT ...
// HTBOTTOM), or 0 when the point is in none and the default should decide.
constexpr long hitTestCode(unsigned bands)
{
    switch (bands) {
        case Top | Left:
            return 13;  // HTTOPLEFT
        case Top | Right:
            return 14;  // HTTOPRIGHT
        case Bottom | Left:
            return 16;  // HTBOTTOMLEFT
        case Bottom | Right:
            return 17;  // HTBOTTOMRIGHT
        case Left:
            return 10;  // HTLEFT
        case Right:
            return 11;  // HTRIGHT
        case Top:
            return 12;  // HTTOP
        case Bottom:
            return 15;  // HTBOTTOM
        default:
            return 0;
    }
}

// HTCLIENT: the point belongs to the window's own content.
constexpr long kClient = 1;

// The answer to a hit-test at a window-relative point: the resize code of its
// band, 0 when the default handling should decide, and kClient wherever the
// window fills its screen (maximised or full screen), since there is nothing
// to resize it into and the content reaches the screen's very edge.
constexpr long hitTest(int x, int y, int w, int h, bool fillsScreen)
{
    return fillsScreen ? kClient : hitTestCode(bandsAt(x, y, w, h));
}

}  // namespace EdgeBands
