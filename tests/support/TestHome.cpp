// Every test process gets a home and configuration folder of its own before
// main() runs, so QSettings and QStandardPaths can never reach the real user
// profile, and tests running in parallel never share a settings store.
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QtGlobal>
#include <cstdlib>
#include <string>

namespace {

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

}  // namespace

Q_CONSTRUCTOR_FUNCTION(isolateHome)
