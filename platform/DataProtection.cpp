#include "DataProtection.h"

#ifdef Q_OS_WIN
// windows.h first: wincrypt.h relies on its types.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on
#endif

bool DataProtection::available()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

QByteArray DataProtection::unprotect(const QByteArray& blob)
{
#ifdef Q_OS_WIN
    if (blob.isEmpty()) {
        return {};
    }
    DATA_BLOB in;
    in.cbData = static_cast<DWORD>(blob.size());
    in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(blob.constData()));
    DATA_BLOB out{0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out)) {
        return {};
    }
    QByteArray plain(reinterpret_cast<const char*>(out.pbData), static_cast<qsizetype>(out.cbData));
    // The system's buffer held the secret too; clear it before handing it back.
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return plain;
#else
    Q_UNUSED(blob);
    return {};
#endif
}
