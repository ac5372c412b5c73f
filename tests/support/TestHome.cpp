// Every test process gets a home and configuration folder of its own before
// main() runs, so QSettings and QStandardPaths can never reach the real user
// profile, and tests running in parallel never share a settings store.
//
// On Windows the settings store is the registry under HKEY_CURRENT_USER,
// which no environment variable moves: the process's HKEY_CURRENT_USER is
// mapped onto a scratch key of its own instead, removed at exit.
#include "TestHome.h"

#include <QByteArray>
#include <QDir>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN

HKEY g_scratch = nullptr;
std::wstring g_scratchName;

void removeScratchKey()
{
    if (!g_scratch) {
        return;
    }
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(g_scratch);
    g_scratch = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, g_scratchName.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, g_scratchName.c_str());
}

void isolateHome()
{
    g_scratchName = L"Software\\Veilcast-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(GetTickCount64());
    DWORD disposition = 0;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, g_scratchName.c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &g_scratch, &disposition);
    if (status == ERROR_SUCCESS) {
        status = RegOverridePredefKey(HKEY_CURRENT_USER, g_scratch);
    }
    if (status != ERROR_SUCCESS) {
        // Better no test at all than one that writes into the user's settings.
        std::fprintf(stderr, "test home: cannot map HKEY_CURRENT_USER to a scratch key (%ld)\n",
                     static_cast<long>(status));
        std::abort();
    }
    std::atexit(removeScratchKey);
}

#else

std::string g_home;

void removeHome()
{
    if (!g_home.empty()) {
        QDir(QString::fromStdString(g_home)).removeRecursively();
    }
}

void isolateHome()
{
    char pattern[] = "/tmp/veilcast-test-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::abort();
    }
    g_home = pattern;
    const QByteArray home = QByteArray(pattern);
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_CACHE_HOME", home + "/.cache");
    std::atexit(removeHome);
}

#endif

}  // namespace

namespace TestHome {

void* registryScratchKey()
{
#ifdef Q_OS_WIN
    return g_scratch;
#else
    return nullptr;
#endif
}

}  // namespace TestHome

Q_CONSTRUCTOR_FUNCTION(isolateHome)
