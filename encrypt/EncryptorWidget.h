#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QWidget>

class ApiClient;
class EncryptQueue;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class UploadService;

// The merchant's encryption page: files are dropped or picked, encrypted on
// the queue, their keys registered with the server, and each file's way is
// shown in a task list.
class EncryptorWidget : public QWidget
{
    Q_OBJECT

public:
    enum TaskStatus
    {
        Waiting = 0,      // added, not handed to the queue
        Encrypting = 1,   // progress has been reported
        Uploading = 2,    // container written, key registration running
        Done = 3,         // the server holds the key
        Failed = 4,       // encryption failed, or the server refused the key
        Queued = 5,       // handed to the queue, no progress yet
        UploadRetry = 6,  // no answer about the key: container kept, retry offered
    };

    explicit EncryptorWidget(QWidget* parent = nullptr);
    ~EncryptorWidget() override;

    // True while a file is queued, encrypting or uploading.
    bool isBusy() const;
    // Stops the encryption at once (switching account, closing): running
    // files stop between chunks and leave nothing, queued ones never start.
    // Returns within a second; their rows show "加密已取消". Uploads under
    // way are not affected.
    void cancelEncryption();

    void addFiles(const QStringList& paths);
    void setOutputDir(const QString& dir);
    QString outputDir() const;

    // The row state of a source, for the window and tests; -1 when unknown.
    int status(const QString& srcPath) const;
    QString errorText(const QString& srcPath) const;
    QString outputPath(const QString& srcPath) const;

    // An existing regular file with one of the accepted suffixes.
    static bool isAcceptedVideo(const QString& path);

public slots:
    void onBrowseOutput();
    void onStartEncrypt();
    void onOpenOutput();
    void onChooseFiles();
    void onTaskProgress(const QString& file, int percent);
    void onTaskEncrypted(const QString& file, const QString& outPath, const QByteArray& videoId,
                         const QByteArray& iv, const QByteArray& key);
    void onTaskFailed(const QString& file, const QString& errorMsg);
    void onAllEncrypted();
    void onUploadSucceeded(const QString& srcFile);
    void onUploadFailed(const QString& srcFile, const QString& errorMsg);
    void onUploadUncertain(const QString& srcFile, const QString& errorMsg);
    void onRetryUpload(const QString& srcFile);
    void onTranscode();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct TaskEntry
    {
        ~TaskEntry();
        void wipeSecrets();

        QString srcPath;
        QString outPath;
        int percent = 0;
        TaskStatus status = Waiting;
        QString errorText;
        QString videoId;  // dashed text
        QDateTime finishedAt;
        // Kept only while the server's answer about them is outstanding or
        // unknown, so a retry can send the same registration.
        QByteArray key;
        QByteArray iv;
    };

    void refreshItem(const QString& path);
    void updateSummary();
    void saveHistory();
    void removeEntry(const QString& path);
    void sendKey(TaskEntry& entry, bool resend);
    QListWidgetItem* itemFor(const QString& path) const;
    void onContextMenu(const QPoint& pos);

    // Everything here lives on the GUI thread.
    EncryptQueue* m_queue;    // child; deleted first in the destructor
    ApiClient* m_client;      // child
    UploadService* m_upload;  // child, sends through m_client
    QListWidget* m_list;
    QLineEdit* m_outputDir;
    QPushButton* m_start;
    QPushButton* m_open;
    QPushButton* m_transcode;
    QLabel* m_title;
    QWidget* m_dropZone;
    QLabel* m_empty;
    QMap<QString, TaskEntry> m_entries;
};
