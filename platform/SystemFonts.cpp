#include "SystemFonts.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace SystemFonts {

#ifdef _WIN32

namespace {

QString askGdi()
{
    QString name = QStringLiteral("Arial");
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) {
        return name;
    }
    LOGFONTW wanted{};
    wanted.lfCharSet = GB2312_CHARSET;
    wanted.lfOutPrecision = OUT_TT_ONLY_PRECIS;
    wanted.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    if (HFONT font = CreateFontIndirectW(&wanted)) {
        HGDIOBJ before = SelectObject(dc, font);
        wchar_t face[LF_FACESIZE] = {};
        if (GetTextFaceW(dc, LF_FACESIZE, face) > 1) {
            name = QString::fromWCharArray(face);
        }
        SelectObject(dc, before);
        DeleteObject(font);
    }
    DeleteDC(dc);
    return name;
}

}  // namespace

QString subtitleFallbackFamily()
{
    static const QString family = askGdi();
    return family;
}

#else

QString subtitleFallbackFamily()
{
    return QStringLiteral("sans-serif");
}

#endif

}  // namespace SystemFonts
