#include "EncryptorWidget.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include "ApiClient.h"
#include "AppConfig.h"
#include "AuthManager.h"
#include "ContainerWriter.h"
#include "CryptoUtils.h"
#include "EncryptQueue.h"
#include "MediaProbe.h"
#include "PlainLabel.h"
#include "SvgIcon.h"
#include "TranscodeDialog.h"
#include "UploadService.h"

namespace {

// Row height of the task list: name and status on one line with room around.
constexpr int kRowHeight = 52;

// The status marks are drawn, not typed: emoji and most symbol characters
// have no glyph in the fonts a Linux desktop usually has, and would show as
// empty boxes there while Windows drew them in colour.
constexpr int kMarkSize = 14;
constexpr int kMarkGap = 5;  // between a mark and its word
// A failed row says why on the row itself; past this width the reason is
// cut short and whole in the tooltip. Leaves the file name most of a row.
constexpr int kReasonMaxWidth = 240;
const QString kPauseMark = QStringLiteral(R"(<path d="M6 19h4V5H6v14zm8-14v14h4V5h-4z"/>)");
const QString kHourglassMark = QStringLiteral(
    R"(<path d="M6 2v6h.01L6 8.01 10 12l-4 4 .01.01H6V22h12v-5.99h-.01L18 16l-4-4 4-3.99-.01-.01H18V2H6z)"
    R"(m10 14.5V20H8v-3.5l4-4 4 4zm-4-5l-4-4V4h8v3.5l-4 4z"/>)");
const QString kDoneMark = QStringLiteral(
    R"(<path d="M12 2C6.48 2 2 6.48 2 12s4.48 10 10 10 10-4.48 10-10S17.52 2 12 2zm-2 15l-5-5 )"
    R"(1.41-1.41L10 14.17l7.59-7.59L19 8l-9 9z"/>)");
const QString kFailedMark = QStringLiteral(
    R"(<path d="M12 2C6.47 2 2 6.47 2 12s4.47 10 10 10 10-4.47 10-10S17.53 2 12 2zm5 13.59L15.59 17 )"
    R"(12 13.41 8.41 17 7 15.59 10.59 12 7 8.41 8.41 7 12 10.59 15.59 7 17 8.41 13.41 12 17 15.59z"/>)");
const QString kWarningMark =
    QStringLiteral(R"(<path d="M1 21h22L12 2 1 21zm12-3h-2v-2h2v2zm0-4h-2v-4h2v4z"/>)");

const char* const kStyle = R"(
EncryptorWidget, #encryptLeft { background: %1; }
#recordPanel { background: %5; }
QLabel { color: %3; background: transparent; }
#dropZone { border: 2px dashed rgba(0,212,255,0.3); border-radius: 10px; background: rgba(0,212,255,0.04); }
#dropZone:hover { border-color: %2; background: rgba(0,212,255,0.08); }
#dropTitle { font-size: 15px; font-weight: 600; }
#dropHint { color: rgba(255,255,255,0.45); font-size: 12px; }
#fieldLabel { font-size: 12px; }
#settingInput { background: %4; color: %3; border: 1px solid rgba(0,212,255,0.15); border-radius: 5px; padding: 0 8px; }
#settingInput:focus, #settingInput:hover { border-color: %2; }
#browseBtn { background: %4; color: %3; border: 1px solid rgba(0,212,255,0.15); border-radius: 5px; }
#browseBtn:hover { border-color: %2; }
#startBtn { background: %2; color: #0a0f1a; font-weight: 700; border: none; border-radius: 6px; }
#startBtn:hover { background: #33ddff; }
#startBtn:disabled { background: rgba(0,212,255,0.2); color: rgba(255,255,255,0.3); }
#openBtn, #transcodeBtn { background: transparent; color: %3; border: 1px solid rgba(0,212,255,0.22); border-radius: 6px; }
#openBtn:hover, #transcodeBtn:hover { border-color: %2; color: %2; }
#recordTitle { font-size: 14px; font-weight: 600; }
#fileList { background: transparent; border: none; }
#emptyText { color: rgba(255,255,255,0.45); font-size: 12px; }
QMenu { background: #1e2a3a; border: 1px solid rgba(0,212,255,0.2); }
QMenu::item { color: #eaf2ff; padding: 6px 20px; }
QMenu::item:selected { background: rgba(0,212,255,0.15); }
)";

const char* const kRowStyle = R"(
#taskItem { background: #304260; border: 1px solid rgba(0,212,255,0.15); border-radius: 7px; }
#taskName { font-size: 12px; color: #eaf2ff; }
#taskStatus { font-size: 11px; }
#taskDelBtn, #taskRetryBtn { background: transparent; color: rgba(255,255,255,0.6); border: none; }
#taskDelBtn:hover, #taskRetryBtn:hover { color: #00d4ff; }
)";

QPushButton* button(const QString& text, const char* name, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

// Tool tips guess rich text from their content; a file name or a server
// sentence is shown as the characters it is.
QString plainToolTip(const QString& text)
{
    return text.isEmpty()
               ? QString()
               : QStringLiteral("<p style='white-space:pre-wrap'>%1</p>").arg(text.toHtmlEscaped());
}

}  // namespace

EncryptorWidget::TaskEntry::~TaskEntry()
{
    wipeSecrets();
}

void EncryptorWidget::TaskEntry::wipeSecrets()
{
    secrets.wipe();
}

EncryptorWidget::EncryptorWidget(QWidget* parent)
    : QWidget(parent),
      m_queue(new EncryptQueue(this)),
      m_client(new ApiClient(this)),
      m_upload(new UploadService(m_client, nullptr, this))
{
    setAcceptDrops(true);
    setAttribute(Qt::WA_StyledBackground);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);

    auto* left = new QWidget(this);
    left->setObjectName(QStringLiteral("encryptLeft"));
    left->setAttribute(Qt::WA_StyledBackground);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(24, 24, 24, 24);
    leftLayout->setSpacing(16);

    m_dropZone = new QWidget(left);
    m_dropZone->setObjectName(QStringLiteral("dropZone"));
    m_dropZone->setAttribute(Qt::WA_StyledBackground);
    m_dropZone->setFixedHeight(140);
    m_dropZone->setCursor(Qt::PointingHandCursor);
    auto* dropLayout = new QVBoxLayout(m_dropZone);
    dropLayout->setAlignment(Qt::AlignCenter);
    dropLayout->setSpacing(6);
    QLabel* dropTitle = plainLabel(QStringLiteral("拖入视频文件进行加密"), "dropTitle", m_dropZone);
    QLabel* dropHint =
        plainLabel(QStringLiteral("支持 MP4、MKV、MOV、TS、FLV\n点击此处也可选择文件"), "dropHint",
                   m_dropZone);
    dropTitle->setAlignment(Qt::AlignCenter);
    dropHint->setAlignment(Qt::AlignCenter);
    // Clicks on the labels belong to the zone.
    dropTitle->setAttribute(Qt::WA_TransparentForMouseEvents);
    dropHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    dropLayout->addWidget(dropTitle);
    dropLayout->addWidget(dropHint);
    leftLayout->addWidget(m_dropZone);

    leftLayout->addWidget(plainLabel(QStringLiteral("输出目录"), "fieldLabel", left));
    auto* dirRow = new QHBoxLayout;
    dirRow->setContentsMargins(0, 0, 0, 0);
    dirRow->setSpacing(6);
    m_outputDir = new QLineEdit(left);
    m_outputDir->setObjectName(QStringLiteral("settingInput"));
    m_outputDir->setReadOnly(true);
    m_outputDir->setFixedHeight(30);
    QPushButton* browse = button(QStringLiteral("浏览"), "browseBtn", left);
    browse->setFixedSize(50, 30);
    dirRow->addWidget(m_outputDir, 1);
    dirRow->addWidget(browse);
    leftLayout->addLayout(dirRow);
    leftLayout->addStretch();

    m_start = button(QStringLiteral("开始加密"), "startBtn", left);
    m_start->setFixedHeight(38);
    m_start->setEnabled(false);
    m_open = button(QStringLiteral("打开输出目录"), "openBtn", left);
    m_open->setFixedHeight(32);
    m_transcode = button(QStringLiteral("视频转码压缩"), "transcodeBtn", left);
    m_transcode->setFixedHeight(32);
    m_transcode->setToolTip(QStringLiteral("把录屏等大体积视频压缩转换成 MP4"));
    leftLayout->addWidget(m_start);
    leftLayout->addWidget(m_open);
    leftLayout->addWidget(m_transcode);

    auto* right = new QWidget(this);
    right->setObjectName(QStringLiteral("recordPanel"));
    right->setAttribute(Qt::WA_StyledBackground);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(20, 20, 20, 20);
    rightLayout->setSpacing(10);
    m_title = plainLabel(QStringLiteral("加密任务"), "recordTitle", right);
    rightLayout->addWidget(m_title, 0, Qt::AlignTop);
    m_list = new QListWidget(right);
    m_list->setObjectName(QStringLiteral("fileList"));
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setAcceptDrops(false);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setSpacing(3);
    rightLayout->addWidget(m_list, 1);
    rightLayout->addStretch();
    m_empty = plainLabel(QStringLiteral("暂无加密任务"), "emptyText", right);
    m_empty->setAlignment(Qt::AlignCenter);
    rightLayout->addWidget(m_empty, 0, Qt::AlignCenter);
    rightLayout->addStretch();

    page->addWidget(left, 1);
    page->addWidget(right, 1);

    setStyleSheet(QString::fromLatin1(kStyle).arg(
        QStringLiteral("#2a3a55"), QStringLiteral("#00d4ff"), QStringLiteral("#eaf2ff"),
        QStringLiteral("#364a6e"), QStringLiteral("#304260")));

    connect(browse, &QPushButton::clicked, this, &EncryptorWidget::onBrowseOutput);
    connect(m_start, &QPushButton::clicked, this, &EncryptorWidget::onStartEncrypt);
    connect(m_open, &QPushButton::clicked, this, &EncryptorWidget::onOpenOutput);
    connect(m_transcode, &QPushButton::clicked, this, &EncryptorWidget::onTranscode);
    connect(m_list, &QListWidget::customContextMenuRequested, this,
            &EncryptorWidget::onContextMenu);
    connect(m_queue, &EncryptQueue::taskProgress, this, &EncryptorWidget::onTaskProgress);
    connect(m_queue, &EncryptQueue::taskEncrypted, this, &EncryptorWidget::onTaskEncrypted);
    connect(m_queue, &EncryptQueue::taskFailed, this, &EncryptorWidget::onTaskFailed);
    connect(m_queue, &EncryptQueue::allEncrypted, this, &EncryptorWidget::onAllEncrypted);
    connect(m_upload, &UploadService::uploadSucceeded, this, &EncryptorWidget::onUploadSucceeded);
    connect(m_upload, &UploadService::uploadFailed, this, &EncryptorWidget::onUploadFailed);
    connect(m_upload, &UploadService::uploadUncertain, this, &EncryptorWidget::onUploadUncertain);

    setOutputDir(QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
                     .filePath(QStringLiteral("encrypted_output")));
    updateSummary();
}

EncryptorWidget::~EncryptorWidget()
{
    // The queue goes first, while the page is whole: it stops its tasks
    // instead of waiting for every queued file to be written.
    delete m_queue;
    m_queue = nullptr;
}

bool EncryptorWidget::isWorking() const
{
    for (const TaskEntry& e : m_entries) {
        if (e.status == Queued || e.status == Encrypting || e.status == Uploading) {
            return true;
        }
    }
    return false;
}

bool EncryptorWidget::isBusy() const
{
    // A row waiting for a retry holds the only copy of a key the server may
    // not have: leaving drops that file's work like any running one.
    for (const TaskEntry& e : m_entries) {
        if (e.status == UploadRetry) {
            return true;
        }
    }
    return isWorking();
}

QStringList EncryptorWidget::unregisteredFiles() const
{
    QStringList names;
    for (const TaskEntry& e : m_entries) {
        if ((e.status == Queued && !e.registered) || e.status == Uploading ||
            e.status == UploadRetry) {
            names << QFileInfo(e.srcPath).fileName();
        }
    }
    return names;
}

void EncryptorWidget::cancelEncryption()
{
    // Files with the workers report "加密已取消" through the queue.
    m_queue->cancel();
    const QString cancelled = ContainerWriter::messageFor(ContainerWriter::Error::Stopped);
    for (TaskEntry& e : m_entries) {
        if (e.status == Queued || e.status == Uploading || e.status == UploadRetry) {
            fail(e, cancelled);
        }
    }
}

void EncryptorWidget::setFolderOpener(const FolderOpener::Opener& opener)
{
    m_folders.setOpener(opener);
}

bool EncryptorWidget::isAcceptedVideo(const QString& path)
{
    static const QStringList accepted{QStringLiteral("mp4"), QStringLiteral("mkv"),
                                      QStringLiteral("mov"), QStringLiteral("ts"),
                                      QStringLiteral("flv")};
    const QFileInfo info(path);
    // Regular files only: a FIFO or a device of that name would never end.
    return accepted.contains(info.suffix().toLower()) && info.isFile();
}

void EncryptorWidget::setOutputDir(const QString& dir)
{
    m_outputDir->setText(dir);
    m_outputDir->setToolTip(plainToolTip(dir));
}

QString EncryptorWidget::outputDir() const
{
    return m_outputDir->text();
}

int EncryptorWidget::status(const QString& srcPath) const
{
    const auto it = m_entries.constFind(srcPath);
    return it == m_entries.cend() ? -1 : int(it->status);
}

QString EncryptorWidget::errorText(const QString& srcPath) const
{
    return m_entries.value(srcPath).errorText;
}

QString EncryptorWidget::outputPath(const QString& srcPath) const
{
    return m_entries.value(srcPath).outPath;
}

void EncryptorWidget::addFiles(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (!isAcceptedVideo(path)) {
            continue;
        }
        auto it = m_entries.find(path);
        if (it != m_entries.end()) {
            // Finished rows start again; busy rows and rows whose container
            // still waits for its key are left alone.
            if (it->status == Done || it->status == Failed) {
                it->status = Waiting;
                it->percent = 0;
                it->outPath.clear();
                it->videoId.clear();
                it->errorText.clear();
                it->finishedAt = QDateTime();
                it->outputDir.clear();
                it->registered = false;
                it->wipeSecrets();
            }
            refreshItem(path);
            continue;
        }
        TaskEntry entry;
        entry.srcPath = path;
        m_entries.insert(path, entry);
        refreshItem(path);
    }
    updateSummary();
}

void EncryptorWidget::onChooseFiles()
{
    const QStringList files = QFileDialog::getOpenFileNames(
        this, QStringLiteral("选择视频文件"), AppConfig::instance()->lastImportDir(),
        QStringLiteral("视频文件 (*.mp4 *.mkv *.mov *.ts *.flv)"));
    if (files.isEmpty()) {
        return;
    }
    AppConfig::instance()->setLastImportDir(QFileInfo(files.first()).absolutePath());
    addFiles(files);
}

void EncryptorWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton &&
        m_dropZone->geometry().contains(
            m_dropZone->parentWidget()->mapFrom(this, event->position().toPoint()))) {
        onChooseFiles();
        return;
    }
    QWidget::mousePressEvent(event);
}

void EncryptorWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void EncryptorWidget::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void EncryptorWidget::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && isAcceptedVideo(path)) {
            paths << path;
        }
    }
    if (!paths.isEmpty()) {
        addFiles(paths);
    }
    event->acceptProposedAction();
}

void EncryptorWidget::onBrowseOutput()
{
    const QString dir = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择输出目录"), m_outputDir->text(), QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty()) {
        setOutputDir(dir);
    }
}

void EncryptorWidget::onOpenOutput()
{
    const QString dir = m_outputDir->text();
    if (!dir.isEmpty()) {
        m_folders.open(this, dir);
    }
}

void EncryptorWidget::onStartEncrypt()
{
    if (isWorking()) {
        return;  // a second batch must not overlap the running one
    }
    QStringList paths;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->status == Waiting) {
            paths << it.key();
        }
    }
    if (paths.isEmpty()) {
        return;
    }
    const QString dir = m_outputDir->text();
    QDir().mkpath(dir);
    for (const QString& path : std::as_const(paths)) {
        TaskEntry& e = m_entries[path];
        e.status = Queued;
        e.outputDir = dir;
        e.registered = false;
        e.secrets = ContainerWriter::KeyMaterial::fresh();
        e.videoId = CryptoUtils::formatVideoId(e.secrets.videoId);
        refreshItem(path);
    }
    updateSummary();
    for (const QString& path : std::as_const(paths)) {
        TaskEntry& e = m_entries[path];
        if (!e.secrets.isComplete()) {
            fail(e, ContainerWriter::messageFor(ContainerWriter::Error::CipherInit));
            continue;
        }
        checkSource(path, e.videoId);
    }
}

void EncryptorWidget::checkSource(const QString& path, const QString& tag)
{
    // A look into the file may wait on a slow disk: it runs on the pool and
    // answers here. The watcher goes with the page, and its answer with it.
    auto* watcher = new QFutureWatcher<MediaProbe::Verdict>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path, tag] {
        watcher->deleteLater();
        onSourceChecked(path, tag, watcher->result());
    });
    watcher->setFuture(MediaProbe::checkLater(path));
}

void EncryptorWidget::onSourceChecked(const QString& path, const QString& tag,
                                      MediaProbe::Verdict verdict)
{
    auto it = m_entries.find(path);
    if (it == m_entries.end() || it->status != Queued || it->videoId != tag) {
        return;  // cancelled meanwhile, perhaps started again under a new key
    }
    if (verdict != MediaProbe::Verdict::Media) {
        fail(*it, MediaProbe::messageFor(verdict));
        return;
    }
    sendKey(*it, false);
}

void EncryptorWidget::onTaskProgress(const QString& file, int percent)
{
    auto it = m_entries.find(file);
    if (it == m_entries.end() || (it->status != Queued && it->status != Encrypting)) {
        return;
    }
    it->status = Encrypting;
    it->percent = qBound(0, percent, 100);
    refreshItem(file);
    updateSummary();
}

void EncryptorWidget::onTaskEncrypted(const QString& file, const QString& outPath,
                                      const QByteArray& videoId, const QByteArray& iv,
                                      const QByteArray& key)
{
    Q_UNUSED(videoId);
    Q_UNUSED(iv);
    Q_UNUSED(key);
    auto it = m_entries.find(file);
    if (it == m_entries.end() || (it->status != Queued && it->status != Encrypting)) {
        return;
    }
    // The key was registered before the container was written.
    it->status = Done;
    it->outPath = outPath;
    it->errorText.clear();
    it->finishedAt = QDateTime::currentDateTime();
    refreshItem(file);
    updateSummary();
    saveHistory();
}

void EncryptorWidget::sendKey(TaskEntry& entry, bool resend)
{
    entry.status = Uploading;
    entry.errorText.clear();
    refreshItem(entry.srcPath);
    updateSummary();
    m_client->setToken(AuthManager::instance()->token());
    const QFileInfo source(entry.srcPath);
    m_upload->uploadKey(entry.videoId, entry.videoId, entry.secrets.key, entry.secrets.iv,
                        source.completeBaseName(), source.fileName(), source.size(), resend);
}

void EncryptorWidget::fail(TaskEntry& entry, const QString& reason)
{
    entry.status = Failed;
    entry.errorText = reason;
    entry.videoId.clear();
    entry.wipeSecrets();
    refreshItem(entry.srcPath);
    updateSummary();
}

EncryptorWidget::TaskEntry* EncryptorWidget::entryForKey(const QString& keyId)
{
    for (TaskEntry& e : m_entries) {
        if (!keyId.isEmpty() && e.videoId == keyId) {
            return &e;
        }
    }
    return nullptr;
}

void EncryptorWidget::onTaskFailed(const QString& file, const QString& errorMsg)
{
    auto it = m_entries.find(file);
    if (it == m_entries.end() || (it->status != Queued && it->status != Encrypting)) {
        return;
    }
    fail(*it, errorMsg);
}

void EncryptorWidget::onAllEncrypted()
{
    updateSummary();
    saveHistory();
}

void EncryptorWidget::onUploadSucceeded(const QString& keyId)
{
    TaskEntry* e = entryForKey(keyId);
    if (!e || e->status != Uploading) {
        return;
    }
    // Only now may the container be written: whatever happens from here on,
    // no container exists whose key the server lacks.
    e->registered = true;
    e->status = Queued;
    m_queue->setOutputDir(e->outputDir);
    m_queue->enqueue(e->srcPath, e->secrets);
    e->wipeSecrets();  // the queue has its own copy
    refreshItem(e->srcPath);
    updateSummary();
    m_queue->start();
}

void EncryptorWidget::onUploadFailed(const QString& keyId, const QString& errorMsg)
{
    TaskEntry* e = entryForKey(keyId);
    if (!e || e->status != Uploading) {
        return;
    }
    // Refused for good: nothing was written, and nothing will be.
    fail(*e, QStringLiteral("加密失败：") + errorMsg);
}

void EncryptorWidget::onUploadUncertain(const QString& keyId, const QString& errorMsg)
{
    TaskEntry* e = entryForKey(keyId);
    if (!e || e->status != Uploading) {
        return;
    }
    // The server may hold the key already: the row keeps it, so a retry
    // sends the same registration, and the container waits for the answer.
    e->status = UploadRetry;
    e->errorText = QStringLiteral("上传失败，可重试：") + errorMsg;
    refreshItem(e->srcPath);
    updateSummary();
}

void EncryptorWidget::onRetryUpload(const QString& srcFile)
{
    auto it = m_entries.find(srcFile);
    if (it == m_entries.end() || it->status != UploadRetry) {
        return;
    }
    sendKey(*it, true);
}

void EncryptorWidget::onTranscode()
{
    TranscodeDialog dialog(this);
    dialog.exec();
}

void EncryptorWidget::onContextMenu(const QPoint& pos)
{
    QListWidgetItem* item = m_list->itemAt(pos);
    if (!item) {
        return;
    }
    const QString path = item->data(Qt::UserRole).toString();
    if (status(path) != Waiting) {
        return;
    }
    QMenu menu(this);
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    if (menu.exec(m_list->viewport()->mapToGlobal(pos)) == remove && status(path) == Waiting) {
        removeEntry(path);
    }
}

void EncryptorWidget::removeEntry(const QString& path)
{
    // Only a file nobody has handed to the queue may go.
    if (status(path) != Waiting) {
        return;
    }
    m_entries.remove(path);
    delete itemFor(path);
    updateSummary();
}

QListWidgetItem* EncryptorWidget::itemFor(const QString& path) const
{
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem* item = m_list->item(i);
        if (item->data(Qt::UserRole).toString() == path) {
            return item;
        }
    }
    return nullptr;
}

void EncryptorWidget::refreshItem(const QString& path)
{
    const auto it = m_entries.constFind(path);
    if (it == m_entries.cend()) {
        return;
    }
    const TaskEntry& e = *it;
    QListWidgetItem* item = itemFor(path);
    if (!item) {
        item = new QListWidgetItem;
        item->setData(Qt::UserRole, path);
        item->setSizeHint(QSize(0, kRowHeight));
        m_list->insertItem(0, item);
    }

    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("taskItem"));
    row->setAttribute(Qt::WA_StyledBackground);
    row->setStyleSheet(QString::fromLatin1(kRowStyle));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(10);
    // Once written, the container's own name is shown: it may carry a
    // number ("a (2).vcz") when the plain name was taken.
    const QString shownName =
        e.outPath.isEmpty()
            ? QFileInfo(path).fileName()
            : QFileInfo(path).fileName() + QStringLiteral(" → ") + QFileInfo(e.outPath).fileName();
    QLabel* name = plainLabel(shownName, "taskName", row);
    name->setToolTip(
        plainToolTip(e.outPath.isEmpty() ? path : path + QLatin1Char('\n') + e.outPath));
    layout->addWidget(name, 1);

    QString text;
    QColor colour;
    QString mark;
    switch (e.status) {
        case Waiting:
            mark = kPauseMark;
            text = QStringLiteral("等待中");
            colour = QColor(255, 255, 255, 115);
            break;
        case Queued:
            mark = kHourglassMark;
            text = QStringLiteral("排队中");
            colour = QColor(255, 255, 255, 153);
            break;
        case Encrypting:
            mark = kHourglassMark;
            text = QStringLiteral("加密中 %1%").arg(e.percent);
            colour = QColor(0x00, 0xd4, 0xff);
            break;
        case Uploading:
            mark = kHourglassMark;
            text = QStringLiteral("加密中...");
            colour = QColor(0x00, 0xd4, 0xff);
            break;
        case Done:
            mark = kDoneMark;
            text = QStringLiteral("已完成 · ") +
                   (e.finishedAt.isValid() ? e.finishedAt.toString(QStringLiteral("HH:mm:ss"))
                                           : QString());
            colour = QColor(0x4a, 0xde, 0x80);
            break;
        case Failed:
            mark = kFailedMark;
            text = QStringLiteral("失败");
            colour = QColor(0xff, 0x5c, 0x5c);
            break;
        case UploadRetry:
            mark = kWarningMark;
            text = QStringLiteral("上传失败，可重试");
            colour = QColor(0xfb, 0xbf, 0x24);
            break;
    }
    auto* markLabel = new QLabel(row);
    markLabel->setObjectName(QStringLiteral("taskMark"));
    markLabel->setPixmap(SvgIcon::pixmap(mark, colour, kMarkSize));
    layout->addWidget(markLabel);
    layout->addSpacing(kMarkGap - layout->spacing());
    QLabel* statusLabel = plainLabel(text, "taskStatus", row);
    if (e.status == Failed && !e.errorText.isEmpty()) {
        statusLabel->setText(
            statusLabel->fontMetrics().elidedText(e.errorText, Qt::ElideRight, kReasonMaxWidth));
    }
    statusLabel->setStyleSheet(QStringLiteral("color:") + colour.name(QColor::HexArgb) +
                               QStringLiteral(";"));
    if ((e.status == Failed || e.status == UploadRetry) && !e.errorText.isEmpty()) {
        statusLabel->setToolTip(plainToolTip(e.errorText));
    }
    layout->addWidget(statusLabel);

    if (e.status == Waiting) {
        QPushButton* del = button(QStringLiteral("✕"), "taskDelBtn", row);
        del->setFixedSize(22, 22);
        del->setToolTip(QStringLiteral("移除"));
        connect(del, &QPushButton::clicked, this, [this, path] { removeEntry(path); });
        layout->addWidget(del);
    } else if (e.status == UploadRetry) {
        QPushButton* retry = button(QStringLiteral("重试"), "taskRetryBtn", row);
        retry->setFixedHeight(22);
        retry->setToolTip(QStringLiteral("重新上传密钥"));
        connect(retry, &QPushButton::clicked, this, [this, path] { onRetryUpload(path); });
        layout->addWidget(retry);
    }
    // The old row widget is deleted by the list.
    m_list->setItemWidget(item, row);
}

void EncryptorWidget::updateSummary()
{
    const int count = int(m_entries.size());
    m_title->setText(count == 0 ? QStringLiteral("加密任务")
                                : QStringLiteral("加密任务 (%1)").arg(count));
    m_empty->setVisible(count == 0);
    m_list->setVisible(count > 0);
    bool waiting = false;
    for (const TaskEntry& e : m_entries) {
        waiting = waiting || e.status == Waiting;
    }
    // A row waiting for a retry does not hold up new files.
    const bool working = isWorking();
    m_start->setEnabled(waiting && !working);
    m_start->setText(working ? QStringLiteral("加密中...") : QStringLiteral("开始加密"));
}

void EncryptorWidget::saveHistory()
{
    QList<AppConfig::EncryptRecord> records;
    for (const TaskEntry& e : m_entries) {
        if (e.status == Done) {
            records.append({e.srcPath, e.outPath, e.videoId, e.finishedAt});
        }
    }
    AppConfig::instance()->saveEncryptHistory(records);
}
