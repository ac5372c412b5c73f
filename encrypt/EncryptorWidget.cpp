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
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include "ApiClient.h"
#include "AppConfig.h"
#include "ContainerWriter.h"
#include "EncryptQueue.h"
#include "EncryptTaskDelegate.h"
#include "MediaProbe.h"
#include "PlainLabel.h"
#include "Theme.h"
#include "TranscodeDialog.h"
#include "UploadService.h"

namespace {

// The page is two halves: sources and settings on the left, tasks on the
// right. The settings half gets the wider margin; the task cards bring
// their own inner padding.
constexpr int kSourceMargin = 24;
constexpr int kSourceSpacing = 16;
constexpr int kTaskMargin = 20;
constexpr int kTaskSpacing = 10;
// Tall enough for the two-line hint with the dashed border well clear of it.
constexpr int kDropZoneHeight = 140;
constexpr int kDropZoneSpacing = 6;
// One line of 12 px text with room for the border and its focus colour.
constexpr int kFieldHeight = 30;
// "浏览" and the button's frame, no wider: the path gets the rest.
constexpr int kBrowseWidth = 50;
constexpr int kDirRowSpacing = 6;
// The start button is the page's main action and stands a little taller
// than the two secondary ones below it.
constexpr int kStartHeight = 38;
constexpr int kSecondaryHeight = 32;
// Keeps the borders of neighbouring task cards apart.
constexpr int kRowSpacing = 3;

const char* const kStyle = R"(
EncryptorWidget, #encryptLeft { background: {page}; }
#recordPanel { background: {panel}; }
QLabel { color: {text}; background: transparent; }
#dropZone { border: 2px dashed {accentOutline}; border-radius: 10px; background: {accent@4}; }
#dropZone:hover { border-color: {accent}; background: {accent@8}; }
#dropTitle { font-size: 15px; font-weight: 600; }
#dropHint { color: {white@45}; font-size: 12px; }
#fieldLabel { font-size: 12px; }
#settingInput { background: {field}; color: {text}; border: 1px solid {accent@15}; border-radius: 5px; padding: 0 8px; }
#settingInput:focus, #settingInput:hover { border-color: {accent}; }
#browseBtn { background: {field}; color: {text}; border: 1px solid {accent@15}; border-radius: 5px; }
#browseBtn:hover { border-color: {accent}; }
#startBtn { background: {accent}; color: {ink}; font-weight: 700; border: none; border-radius: 6px; }
#startBtn:hover { background: {accentHover}; }
#startBtn:disabled { background: {accentFrame}; color: {white@30}; }
#openBtn, #transcodeBtn { background: transparent; color: {text}; border: 1px solid {accentQuiet}; border-radius: 6px; }
#openBtn:hover, #transcodeBtn:hover { border-color: {accent}; color: {accent}; }
#recordTitle { font-size: 14px; font-weight: 600; }
#fileList { background: transparent; border: none; }
#emptyText { color: {white@45}; font-size: 12px; }
)";

}  // namespace

EncryptorWidget::EncryptorWidget(QWidget* parent)
    : QWidget(parent),
      m_queue(new EncryptQueue(this)),
      m_client(new ApiClient(this)),
      m_upload(new UploadService(m_client, nullptr, this)),
      m_model(new EncryptTaskModel(this))
{
    setAcceptDrops(true);
    setAttribute(Qt::WA_StyledBackground);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    page->addWidget(buildSourcePanel(), 1);
    page->addWidget(buildTaskPanel(), 1);

    setStyleSheet(Theme::fill(kStyle) + Theme::menuStyle());
    connectWork();

    setOutputDir(QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
                     .filePath(QStringLiteral("encrypted_output")));
    updateSummary();
}

QWidget* EncryptorWidget::buildSourcePanel()
{
    auto* left = new QWidget(this);
    left->setObjectName(QStringLiteral("encryptLeft"));
    left->setAttribute(Qt::WA_StyledBackground);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(kSourceMargin, kSourceMargin, kSourceMargin, kSourceMargin);
    leftLayout->setSpacing(kSourceSpacing);

    m_dropZone = new QWidget(left);
    m_dropZone->setObjectName(QStringLiteral("dropZone"));
    m_dropZone->setAttribute(Qt::WA_StyledBackground);
    m_dropZone->setFixedHeight(kDropZoneHeight);
    m_dropZone->setCursor(Qt::PointingHandCursor);
    auto* dropLayout = new QVBoxLayout(m_dropZone);
    dropLayout->setAlignment(Qt::AlignCenter);
    dropLayout->setSpacing(kDropZoneSpacing);
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
    dirRow->setSpacing(kDirRowSpacing);
    m_outputDir = new QLineEdit(left);
    m_outputDir->setObjectName(QStringLiteral("settingInput"));
    m_outputDir->setReadOnly(true);
    m_outputDir->setFixedHeight(kFieldHeight);
    QPushButton* browse =
        Theme::pointerButton(QStringLiteral("浏览"), left, QStringLiteral("browseBtn"));
    browse->setFixedSize(kBrowseWidth, kFieldHeight);
    connect(browse, &QPushButton::clicked, this, &EncryptorWidget::onBrowseOutput);
    dirRow->addWidget(m_outputDir, 1);
    dirRow->addWidget(browse);
    leftLayout->addLayout(dirRow);
    leftLayout->addStretch();

    m_start = Theme::pointerButton(QStringLiteral("开始加密"), left, QStringLiteral("startBtn"));
    m_start->setFixedHeight(kStartHeight);
    m_start->setEnabled(false);
    m_open = Theme::pointerButton(QStringLiteral("打开输出目录"), left, QStringLiteral("openBtn"));
    m_open->setFixedHeight(kSecondaryHeight);
    m_transcode =
        Theme::pointerButton(QStringLiteral("视频转码压缩"), left, QStringLiteral("transcodeBtn"));
    m_transcode->setFixedHeight(kSecondaryHeight);
    m_transcode->setToolTip(QStringLiteral("把录屏等大体积视频压缩转换成 MP4"));
    leftLayout->addWidget(m_start);
    leftLayout->addWidget(m_open);
    leftLayout->addWidget(m_transcode);
    return left;
}

QWidget* EncryptorWidget::buildTaskPanel()
{
    auto* right = new QWidget(this);
    right->setObjectName(QStringLiteral("recordPanel"));
    right->setAttribute(Qt::WA_StyledBackground);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(kTaskMargin, kTaskMargin, kTaskMargin, kTaskMargin);
    rightLayout->setSpacing(kTaskSpacing);
    m_title = plainLabel(QStringLiteral("加密任务"), "recordTitle", right);
    rightLayout->addWidget(m_title, 0, Qt::AlignTop);
    m_list = new QListView(right);
    m_list->setObjectName(QStringLiteral("fileList"));
    m_list->setModel(m_model);
    auto* delegate = new EncryptTaskDelegate(m_list);
    m_list->setItemDelegate(delegate);
    m_list->setUniformItemSizes(true);
    m_list->viewport()->setMouseTracking(true);  // the row buttons light up under the pointer
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setAcceptDrops(false);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->setSpacing(kRowSpacing);
    rightLayout->addWidget(m_list, 1);
    rightLayout->addStretch();
    m_empty = plainLabel(QStringLiteral("暂无加密任务"), "emptyText", right);
    m_empty->setAlignment(Qt::AlignCenter);
    rightLayout->addWidget(m_empty, 0, Qt::AlignCenter);
    rightLayout->addStretch();

    connect(delegate, &EncryptTaskDelegate::removeRequested, this, &EncryptorWidget::removeEntry);
    connect(delegate, &EncryptTaskDelegate::retryRequested, this, &EncryptorWidget::onRetryUpload);
    connect(m_list, &QListView::customContextMenuRequested, this, &EncryptorWidget::onContextMenu);
    return right;
}

void EncryptorWidget::connectWork()
{
    connect(m_start, &QPushButton::clicked, this, &EncryptorWidget::onStartEncrypt);
    connect(m_open, &QPushButton::clicked, this, &EncryptorWidget::onOpenOutput);
    connect(m_transcode, &QPushButton::clicked, this, &EncryptorWidget::onTranscode);
    connect(m_queue, &EncryptQueue::taskProgress, this, &EncryptorWidget::onTaskProgress);
    connect(m_queue, &EncryptQueue::taskEncrypted, this, &EncryptorWidget::onTaskEncrypted);
    connect(m_queue, &EncryptQueue::taskFailed, this, &EncryptorWidget::onTaskFailed);
    connect(m_queue, &EncryptQueue::allEncrypted, this, &EncryptorWidget::onAllEncrypted);
    connect(m_upload, &UploadService::uploadSucceeded, this, &EncryptorWidget::onUploadSucceeded);
    connect(m_upload, &UploadService::uploadFailed, this, &EncryptorWidget::onUploadFailed);
    connect(m_upload, &UploadService::uploadUncertain, this, &EncryptorWidget::onUploadUncertain);
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
    for (const EncryptTaskModel::Task* t : m_model->tasks()) {
        if (t->status == Status::Queued || t->status == Status::Encrypting ||
            t->status == Status::Uploading) {
            return true;
        }
    }
    return false;
}

bool EncryptorWidget::isBusy() const
{
    // A row waiting for a retry holds the only copy of a key the server may
    // not have: leaving drops that file's work like any running one.
    return !m_model->pathsIn(Status::UploadRetry).isEmpty() || isWorking();
}

QStringList EncryptorWidget::unregisteredFiles() const
{
    QStringList paths;
    for (const EncryptTaskModel::Task* t : m_model->tasks()) {
        if ((t->status == Status::Queued && !t->registered) || t->status == Status::Uploading ||
            t->status == Status::UploadRetry) {
            paths << t->srcPath;
        }
    }
    paths.sort();
    QStringList names;
    for (const QString& path : std::as_const(paths)) {
        names << QFileInfo(path).fileName();
    }
    return names;
}

void EncryptorWidget::cancelEncryption()
{
    // Files with the workers report "加密已取消" through the queue.
    m_queue->cancel();
    const QString cancelled = ContainerWriter::messageFor(ContainerWriter::Error::Stopped);
    for (const Status s : {Status::Queued, Status::Uploading, Status::UploadRetry}) {
        for (const QString& path : m_model->pathsIn(s)) {
            m_model->fail(path, cancelled);
        }
    }
    updateSummary();
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
    m_outputDir->setToolTip(EncryptTaskDelegate::plainToolTip(dir));
}

QString EncryptorWidget::outputDir() const
{
    return m_outputDir->text();
}

std::optional<EncryptorWidget::Status> EncryptorWidget::status(const QString& srcPath) const
{
    return m_model->status(srcPath);
}

QString EncryptorWidget::errorText(const QString& srcPath) const
{
    const EncryptTaskModel::Task* t = m_model->task(srcPath);
    return t ? t->errorText : QString();
}

QString EncryptorWidget::outputPath(const QString& srcPath) const
{
    const EncryptTaskModel::Task* t = m_model->task(srcPath);
    return t ? t->outPath : QString();
}

void EncryptorWidget::addFiles(const QStringList& paths)
{
    for (const QString& path : paths) {
        // Finished rows start again; busy rows and rows whose container
        // still waits for its key are left alone by the model.
        if (isAcceptedVideo(path)) {
            m_model->add(path);
        }
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
    const QStringList paths = m_model->pathsIn(Status::Waiting);
    if (paths.isEmpty()) {
        return;
    }
    const QString dir = m_outputDir->text();
    QDir().mkpath(dir);
    QStringList started;
    for (const QString& path : paths) {
        if (m_model->start(path, dir)) {
            started << path;
        }
    }
    updateSummary();
    for (const QString& path : paths) {
        if (!started.contains(path)) {
            m_model->fail(path, ContainerWriter::messageFor(ContainerWriter::Error::CipherInit));
        } else {
            checkSource(path, m_model->task(path)->videoId);
        }
    }
    updateSummary();
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
    const EncryptTaskModel::Task* t = m_model->task(path);
    if (!t || t->status != Status::Queued || t->videoId != tag) {
        return;  // cancelled meanwhile, perhaps started again under a new key
    }
    if (verdict != MediaProbe::Verdict::Media) {
        m_model->fail(path, MediaProbe::messageFor(verdict));
        updateSummary();
        return;
    }
    sendKey(path, false);
}

void EncryptorWidget::onTaskProgress(const QString& file, int percent)
{
    if (m_model->setProgress(file, percent)) {
        updateSummary();
    }
}

void EncryptorWidget::onTaskEncrypted(const QString& file, const QString& outPath,
                                      const QByteArray& videoId, const QByteArray& iv,
                                      const QByteArray& key)
{
    Q_UNUSED(videoId);
    Q_UNUSED(iv);
    Q_UNUSED(key);
    // The key was registered before the container was written.
    if (m_model->finish(file, outPath, QDateTime::currentDateTime())) {
        updateSummary();
        saveHistory();
    }
}

void EncryptorWidget::sendKey(const QString& path, bool resend)
{
    if (!m_model->markUploading(path)) {
        return;
    }
    updateSummary();
    const EncryptTaskModel::Task* t = m_model->task(path);
    const QFileInfo source(path);
    m_upload->uploadKey(t->videoId, t->videoId, t->secrets.key, t->secrets.iv,
                        source.completeBaseName(), source.fileName(), source.size(), resend);
}

void EncryptorWidget::onTaskFailed(const QString& file, const QString& errorMsg)
{
    // Only the queue's own files: a row it never held is not its to fail.
    const std::optional<Status> s = m_model->status(file);
    if (s == Status::Queued || s == Status::Encrypting) {
        m_model->fail(file, errorMsg);
        updateSummary();
    }
}

void EncryptorWidget::onAllEncrypted()
{
    updateSummary();
    saveHistory();
}

void EncryptorWidget::onUploadSucceeded(const QString& keyId)
{
    const QString path = m_model->pathOfKey(keyId);
    const QString dir = path.isEmpty() ? QString() : m_model->task(path)->outputDir;
    // Only now may the container be written: whatever happens from here on,
    // no container exists whose key the server lacks.
    const std::optional<ContainerWriter::KeyMaterial> secrets = m_model->markRegistered(path);
    if (!secrets) {
        return;
    }
    m_queue->setOutputDir(dir);
    m_queue->enqueue(path, *secrets);
    updateSummary();
    m_queue->start();
}

void EncryptorWidget::onUploadFailed(const QString& keyId, const QString& errorMsg)
{
    const QString path = m_model->pathOfKey(keyId);
    // Refused for good: nothing was written, and nothing will be.
    if (m_model->status(path) == Status::Uploading &&
        m_model->fail(path, QStringLiteral("加密失败：") + errorMsg)) {
        updateSummary();
    }
}

void EncryptorWidget::onUploadUncertain(const QString& keyId, const QString& errorMsg)
{
    // The server may hold the key already: the row keeps it, and the
    // container waits for the answer.
    if (m_model->markUncertain(m_model->pathOfKey(keyId),
                               QStringLiteral("上传失败，可重试：") + errorMsg)) {
        updateSummary();
    }
}

void EncryptorWidget::onRetryUpload(const QString& srcFile)
{
    if (m_model->status(srcFile) == Status::UploadRetry) {
        sendKey(srcFile, true);
    }
}

void EncryptorWidget::onTranscode()
{
    TranscodeDialog dialog(this);
    dialog.exec();
}

void EncryptorWidget::onContextMenu(const QPoint& pos)
{
    const QModelIndex index = m_list->indexAt(pos);
    const QString path = index.data(EncryptTaskModel::PathRole).toString();
    if (!index.isValid() || status(path) != Status::Waiting) {
        return;
    }
    QMenu menu(this);
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    if (menu.exec(m_list->viewport()->mapToGlobal(pos)) == remove) {
        removeEntry(path);
    }
}

void EncryptorWidget::removeEntry(const QString& path)
{
    // Only a file nobody has handed to the queue may go; the model says.
    if (m_model->remove(path)) {
        updateSummary();
    }
}

void EncryptorWidget::updateSummary()
{
    const int count = m_model->rowCount();
    m_title->setText(count == 0 ? QStringLiteral("加密任务")
                                : QStringLiteral("加密任务 (%1)").arg(count));
    m_empty->setVisible(count == 0);
    m_list->setVisible(count > 0);
    const bool waiting = !m_model->pathsIn(Status::Waiting).isEmpty();
    // A row waiting for a retry does not hold up new files.
    const bool working = isWorking();
    m_start->setEnabled(waiting && !working);
    m_start->setText(working ? QStringLiteral("加密中...") : QStringLiteral("开始加密"));
}

void EncryptorWidget::saveHistory()
{
    QList<AppConfig::EncryptRecord> records;
    for (const QString& path : m_model->pathsIn(Status::Done)) {
        const EncryptTaskModel::Task* t = m_model->task(path);
        records.append({t->srcPath, t->outPath, t->videoId, t->finishedAt});
    }
    AppConfig::instance()->saveEncryptHistory(records);
}
