#pragma once

// What a provisioning tool does on Windows: protects bytes for the current
// user with DPAPI, so that tests can hand the program real blobs.
#include <QByteArray>

#ifdef Q_OS_WIN
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

// An empty array when the system refuses. With entropy, only a reader that
// passes the same entropy can unprotect the blob.
inline QByteArray protectForCurrentUser(const QByteArray& plain,
                                        const QByteArray& entropy = QByteArray())
{
    DATA_BLOB in{static_cast<DWORD>(plain.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(plain.constData()))};
    DATA_BLOB extra{static_cast<DWORD>(entropy.size()),
                    reinterpret_cast<BYTE*>(const_cast<char*>(entropy.constData()))};
    DATA_BLOB out{0, nullptr};
    if (!CryptProtectData(&in, L"veilcast test", entropy.isEmpty() ? nullptr : &extra, nullptr,
                          nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        return {};
    }
    QByteArray blob(reinterpret_cast<const char*>(out.pbData), static_cast<qsizetype>(out.cbData));
    LocalFree(out.pbData);
    return blob;
}
#endif
