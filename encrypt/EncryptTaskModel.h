#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ContainerWriter.h"

// The files of the encryption page and the way each goes, newest row first.
// Every change of a file's status passes through mayFollow(), so a late or
// doubled answer (a progress tick after a failure, a second "encrypted")
// is refused instead of undoing a later state. The model also keeps each
// file's key material from the start until the queue holds a copy of it, or
// while the server's answer is unknown, and wipes it whenever the file no
// longer needs it and when the model goes. GUI thread only.
class EncryptTaskModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // In the order a file lives through them; Failed may end any busy state.
    enum class Status
    {
        Waiting,      // added, not started
        Queued,       // started: being checked, or registered and waiting for a worker
        Uploading,    // key registration running; nothing written yet
        UploadRetry,  // no answer about the key: nothing written, retry offered
        Encrypting,   // progress has been reported
        Done,         // the server holds the key and the container is written
        Failed,       // not media, the server refused the key, encryption failed or was cancelled
    };
    Q_ENUM(Status)

    enum Role
    {
        PathRole = Qt::UserRole + 1,
        StatusRole,         // Status as int
        StatusTextRole,     // the word on the row; a failure's reason instead of "失败"
        NameToolTipRole,    // plain text
        StatusToolTipRole,  // plain text; empty when the status needs no explaining
        PercentRole,
    };

    // One file. Read through task(); changed only through the model.
    struct Task
    {
        QString srcPath;
        QString outPath;
        int percent = 0;
        Status status = Status::Waiting;
        QString errorText;
        QString videoId;  // dashed text; also tags the file's probe and registration
        QDateTime finishedAt;
        QString outputDir;        // fixed when the file is started
        bool registered = false;  // the server holds the key
        ContainerWriter::KeyMaterial secrets;
    };

    // Where fresh key material comes from; tests hand in one that fails.
    using SecretsSource = std::function<ContainerWriter::KeyMaterial()>;

    explicit EncryptTaskModel(QObject* parent = nullptr);
    ~EncryptTaskModel() override;

    // The one rule of which status may follow which.
    static bool mayFollow(Status from, Status to);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    void setSecretsSource(SecretsSource source) { m_secretsSource = std::move(source); }

    // Null when the path has no row; valid until a row is added or removed.
    const Task* task(const QString& path) const;
    std::optional<Status> status(const QString& path) const;
    int rowOf(const QString& path) const;
    // The path whose current registration carries keyId; empty if none.
    QString pathOfKey(const QString& keyId) const;
    // Paths of rows in the given status, sorted.
    QStringList pathsIn(Status status) const;
    QList<const Task*> tasks() const;

    // A new row on top, or a finished one made to wait again. Busy rows and
    // rows whose key waits for a retry are left alone. False when nothing
    // changed.
    bool add(const QString& path);
    // Only a waiting row may go: nothing has been handed to the queue.
    bool remove(const QString& path);
    // Waiting -> Queued with fresh secrets for outputDir. False when refused
    // or when no complete secrets could be made (the row then holds none).
    bool start(const QString& path, const QString& outputDir);
    // Queued after its check, or a retry: the key goes to the server.
    bool markUploading(const QString& path);
    // The server holds the key: back to Queued, waiting for a worker. The
    // key material moves out to the caller, who hands it to the queue.
    std::optional<ContainerWriter::KeyMaterial> markRegistered(const QString& path);
    bool markUncertain(const QString& path, const QString& reason);
    bool setProgress(const QString& path, int percent);
    bool finish(const QString& path, const QString& outPath, const QDateTime& when);
    // Ends the row with reason shown on it; its key material is wiped.
    bool fail(const QString& path, const QString& reason);

    // Entries holding key material, over every model alive: wiping is
    // invisible from outside without reading freed memory, so this counts
    // the material handed out and wiped again in the model's one place.
    static int secretsHeld();

private:
    int storeIndex(int row) const { return int(m_tasks.size()) - 1 - row; }
    int rowOfStore(int i) const { return int(m_tasks.size()) - 1 - i; }
    Task* find(const QString& path);
    // Applies to if mayFollow allows it; the row is repainted by the caller.
    bool moveTo(Task& task, Status to);
    void giveSecrets(Task& task, ContainerWriter::KeyMaterial secrets);
    void dropSecrets(Task& task);
    void changed(const Task& task);
    void reindex();
    QString statusText(const Task& task) const;

    // Stored oldest first: appending keeps the index valid; rows show them
    // newest first. Held by pointer so key material is never copied when the
    // store grows.
    std::vector<std::unique_ptr<Task>> m_tasks;
    QHash<QString, int> m_index;  // path -> position in m_tasks
    SecretsSource m_secretsSource;
};
