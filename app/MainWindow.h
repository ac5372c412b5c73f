#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "UserInfo.h"

class EncryptorWidget;
class QStackedWidget;
class StatusBar;
class TitleBar;
class PlayerWidget;
class ScreenAwake;

// The one top-level window of a logged-in session: its own title and status
// bars around a stack of pages, the player for everybody and the encryption
// page for merchants. It owns the ways out of a session (closing, switching
// account) and makes sure neither leaves unsaved positions or running
// encryption behind.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);

    void setUser(const UserInfo& user);

    PlayerWidget* playerPage() const { return m_playerPage; }
    EncryptorWidget* encryptionPage() const { return m_encryptionPage; }
    int currentPage() const;

    // The question before work on files is dropped; action is what drops it
    // ("关闭程序"), unregistered the files whose keys the server may lack.
    static QString interruptQuestion(const QString& action, const QStringList& unregistered);
    // Files named one by one in that question.
    static constexpr int kNamedFiles = 5;

signals:
    // The user confirmed an account switch; the application logs out and
    // closes this window.
    void switchAccountRequested();
    // setUser ran; the session loop hands every window its user exactly once.
    void userSet(QString userId);

public slots:
    void onTabChanged(int index);
    void onMinimize();
    void onMaximize();
    void onClose();
    void onSwitchAccount();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectTab(int index);
    void openSettings();
    void saveSession();
    // Asks whether running encryption or upload work (a key waiting for a
    // retry included) may be dropped, and stops it when the user agrees.
    // True when the session may end.
    bool mayInterruptWork(const QString& title, const QString& action, const QString& okText);

    // All members: GUI thread only; widgets are Qt children of the window.
    TitleBar* m_titleBar = nullptr;
    StatusBar* m_statusBar = nullptr;
    PlayerWidget* m_playerPage = nullptr;
    EncryptorWidget* m_encryptionPage = nullptr;
    ScreenAwake* m_screenAwake = nullptr;  // held while the player plays
    QWidget* m_tabBar = nullptr;
    QStackedWidget* m_stack = nullptr;
    QWidget* m_centralWidget = nullptr;
    QString m_userId;
    // The session is ending by the user's confirmed choice: the close that
    // follows does not ask again.
    bool m_leaving = false;
};
