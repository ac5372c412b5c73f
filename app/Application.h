#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>

class MainWindow;
class QTranslator;

// The program: names itself for the settings store, puts on the dark theme,
// holds the screenshot keys, and runs login sessions one after another until
// the user closes the window or the login card.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int& argc, char** argv);
    ~Application() override;

    // Runs sessions until one ends without an account switch. Always 0: a
    // cancelled login is a normal way to leave.
    int run();
    // One session: silent login (only when allowed and a token is saved) or
    // the login card, the one-time notice, then the main window until it
    // closes. True when it ended with an account switch.
    bool runSession(bool allowAutoLogin);

    MainWindow* mainWindow() const { return m_mainWindow; }

    // The one-time notice, naming only the protections actually in force:
    // the screenshot keys held are named, and so are those that could not be
    // held; with neither (a platform without the means) the interception is
    // said to be unsupported.
    static QString protectionNotice(bool captureExcluded, const QStringList& keysHeld,
                                    const QStringList& keysRefused);

    // Qt's own texts (context menus, standard buttons) in Chinese, from the
    // catalogues in directory; null when they are not there, and Qt's
    // English texts stay.
    static QTranslator* loadQtTexts(const QString& directory, QObject* parent);

signals:
    // A session's window exists, before anyone logs in to it.
    void windowCreated(MainWindow* window);

public slots:
    void onLoginSucceeded();
    void onSwitchAccountRequested();

private:
    void showNoticeOnce(bool captureExcluded);

    // GUI thread only.
    MainWindow* m_mainWindow = nullptr;  // owned; no Qt parent
    bool m_switchRequested = false;
    QStringList m_keysHeld;     // screenshot key combinations intercepted
    QStringList m_keysRefused;  // those another program holds
};
