#pragma once

#include <QString>

namespace SystemFonts {

// The family a subtitle renderer tries first where a style's font is
// missing, before the system is asked glyph by glyph. On Linux fontconfig
// resolves the generic "sans-serif" itself and finds Chinese glyphs on its
// own. DirectWrite knows only real families, and its glyph-by-glyph fallback
// cannot be relied on everywhere the program runs (under Wine it finds no
// font even where one has the glyph), so on Windows GDI is asked which
// sans-serif face it draws Chinese text in: one with Latin letters as well
// (Microsoft YaHei or the like); a machine without any gets Arial. TrueType
// only: bitmap fonts cannot be rendered at any size. Asked once.
QString subtitleFallbackFamily();

}  // namespace SystemFonts
