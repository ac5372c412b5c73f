#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <optional>

#include "EncryptTaskModel.h"
#include "FolderOpener.h"
#include "MediaProbe.h"

class ApiClient;
class EncryptQueue;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class UploadService;

// The merchant's encryption page: files are dropped or picked, checked, their
// keys registered with the server, then encrypted on the queue, and each
// file's way is shown in a task list.
//
// A container is written only once the server holds its key: a container on
// disk whose key lived only in this program's memory would be lost for good
// if the program ended before the key got through. A key registered for a
// container that then never comes is harmless on the server.
class EncryptorWidget : public QWidget
{
    Q_OBJECT

public:
    using Status = EncryptTaskModel::Status;

    explicit EncryptorWidget(QWidget* parent = nullptr);
    ~EncryptorWidget() override;

    // True while leaving would drop work: a file is queued, encrypting or
    // registering its key, or its key waits for a retry.
    bool isBusy() const;
    // Names of the files whose key the server may not hold yet, for the
    // question before their work is dropped.
    QStringList unregisteredFiles() const;
    // Stops all work on files at once (switching account, closing): running
    // files stop between chunks and leave nothing, the others never start.
    // Returns within a second; every such row shows "加密已取消", and the
    // answers of key registrations still under way are ignored.
    void cancelEncryption();
    // How folders are shown to the user; tests hand in their own.
    void setFolderOpener(const FolderOpener::Opener& opener);

    void addFiles(const QStringList& paths);
    void setOutputDir(const QString& dir);
    QString outputDir() const;

    // The row state of a source, for the window and tests; empty when the
    // source has no row.
    std::optional<Status> status(const QString& srcPath) const;
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
    // Registrations are told apart by their key id: an answer that comes
    // after its row was cancelled and started again is not taken for the
    // new key's.
    void onUploadSucceeded(const QString& keyId);
    void onUploadFailed(const QString& keyId, const QString& errorMsg);
    void onUploadUncertain(const QString& keyId, const QString& errorMsg);
    void onRetryUpload(const QString& srcFile);
    void onTranscode();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* buildSourcePanel();
    QWidget* buildTaskPanel();
    void connectWork();
    void updateSummary();
    void saveHistory();
    void removeEntry(const QString& path);
    // Queued, encrypting or registering: a new start would overlap.
    bool isWorking() const;
    void checkSource(const QString& path, const QString& tag);
    void onSourceChecked(const QString& path, const QString& tag, MediaProbe::Verdict verdict);
    void sendKey(const QString& path, bool resend);
    void onContextMenu(const QPoint& pos);

    // Everything here lives on the GUI thread.
    EncryptQueue* m_queue;      // child; deleted first in the destructor
    ApiClient* m_client;        // child
    UploadService* m_upload;    // child, sends through m_client
    EncryptTaskModel* m_model;  // child
    QListView* m_list;
    QLineEdit* m_outputDir;
    QPushButton* m_start;
    QPushButton* m_open;
    QPushButton* m_transcode;
    QLabel* m_title;
    QWidget* m_dropZone;
    QLabel* m_empty;
    FolderOpener m_folders;
};
