// The merchant's side of the program in miniature, for the test that kills
// it mid-way: logs in, encrypts the given sources on the encryption page and
// exits 0 once nothing is busy any more (3 if the login fails, 4 if the work
// takes more than two minutes).
//
//   veilcast_encrypt_helper USER PASSWORD OUTPUT_DIR SOURCE...
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "AuthManager.h"
#include "EncryptorWidget.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: veilcast_encrypt_helper USER PASSWORD OUTPUT_DIR SOURCE...\n");
        return 2;
    }

    EncryptorWidget page;
    page.setOutputDir(args.at(2));
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!page.isBusy()) {
            app.exit(0);
        }
    });
    QObject::connect(AuthManager::instance(), &AuthManager::loginSucceeded, &app, [&] {
        page.addFiles(args.mid(3));
        page.onStartEncrypt();
        poll.start();
    });
    QObject::connect(AuthManager::instance(), &AuthManager::loginFailed, &app,
                     [&] { app.exit(3); });
    QTimer::singleShot(120000, &app, [&] { app.exit(4); });
    AuthManager::instance()->login(args.at(0), args.at(1));
    return app.exec();
}
