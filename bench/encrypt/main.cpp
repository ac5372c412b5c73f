// Encrypts the given files through EncryptQueue (two pool threads) into a
// folder and prints the wall time of the whole batch in seconds.
//   bench_encrypt OUTDIR FILE...
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include "EncryptQueue.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: bench_encrypt OUTDIR FILE...\n";
        return 2;
    }
    EncryptQueue queue;
    int failures = 0;
    QObject::connect(&queue, &EncryptQueue::taskFailed, &app,
                     [&failures](const QString& file, const QString& error) {
                         QTextStream(stderr) << file << ": " << error << "\n";
                         ++failures;
                     });
    QObject::connect(&queue, &EncryptQueue::allEncrypted, &app, &QCoreApplication::quit);

    QElapsedTimer timer;
    timer.start();
    queue.setOutputDir(args.first());
    queue.enqueue(args.mid(1));
    queue.start();
    app.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    QTextStream(stdout) << QString::number(seconds, 'f', 4) << "\n";
    return failures == 0 ? 0 : 1;
}
