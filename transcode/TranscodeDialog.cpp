#include "TranscodeDialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "AppConfig.h"
#include "ConfirmDialog.h"
#include "PlainLabel.h"
#include "Theme.h"
#include "TranscodeService.h"

namespace {

const char* const kStyle = R"(
QDialog { background: {page}; }
QLabel { color: {text}; background: transparent; }
#tcTitle { font-size: 16px; font-weight: 600; }
#tcHint { color: {white@45}; font-size: 12px; }
#tcStatus { font-size: 12px; }
QLineEdit, QComboBox { background: {ink}; color: {text}; border: 1px solid {accentLine}; border-radius: 6px; padding: 7px 10px; }
QLineEdit:focus, QComboBox:focus { border-color: {accent}; }
QComboBox { combobox-popup: 0; }
QComboBox QAbstractItemView { background: {ink}; color: {text}; border: 1px solid {accentLine}; outline: none; padding: 2px; }
QComboBox QAbstractItemView::item { min-height: 28px; padding: 0 8px; background: transparent; }
QComboBox QAbstractItemView::item:hover, QComboBox QAbstractItemView::item:selected { background: {accentTint}; color: {accent}; }
QPushButton { background: {white@8}; color: {text}; border: none; border-radius: 6px; padding: 7px 16px; }
QPushButton:hover { background: {white@14}; }
QPushButton:disabled { color: {white@45}; }
#tcStartBtn { background: {accent}; color: {ink}; font-weight: 600; }
#tcStartBtn:hover { background: {accentHover}; }
#tcStartBtn:disabled { background: {accentFocus}; }
QProgressBar { background: {ink}; border: 1px solid {accentLine}; border-radius: 6px; height: 12px; text-align: center; color: {text}; }
QProgressBar::chunk { background: {accent}; border-radius: 6px; }
)";

void warn(QWidget* parent, const QString& message)
{
    ConfirmDialog::alert(parent, QStringLiteral("提示"), message, ConfirmDialog::Warning,
                         QStringLiteral("我知道了"));
}

}  // namespace

TranscodeDialog::TranscodeDialog(QWidget* parent)
    : QDialog(parent), m_service(new TranscodeService(this))
{
    setWindowTitle(QStringLiteral("视频转码压缩"));
    setMinimumWidth(520);
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(16);
    layout->addWidget(plainLabel(QStringLiteral("把视频压缩转换成 MP4"), "tcTitle", this));
    QLabel* hint = plainLabel(QStringLiteral("适合压缩录屏等体积偏大的视频，转换后更小、更通用。"),
                              "tcHint", this);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    layout->addLayout(buildForm());

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("tcProgress"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(true);
    m_progress->hide();
    layout->addWidget(m_progress);

    m_status = plainLabel(QString(), "tcStatus", this);
    m_status->setWordWrap(true);
    m_status->hide();
    layout->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_close = Theme::pointerButton(QStringLiteral("关闭"), this);
    m_start = Theme::pointerButton(QStringLiteral("开始转换"), this, QStringLiteral("tcStartBtn"));
    buttons->addWidget(m_close);
    buttons->addWidget(m_start);
    layout->addLayout(buttons);

    setStyleSheet(Theme::fill(kStyle));

    connect(m_inputBrowse, &QPushButton::clicked, this, &TranscodeDialog::onBrowseInput);
    connect(m_outputBrowse, &QPushButton::clicked, this, &TranscodeDialog::onBrowseOutput);
    connect(m_start, &QPushButton::clicked, this, &TranscodeDialog::onStartClicked);
    connect(m_close, &QPushButton::clicked, this, &TranscodeDialog::reject);
    connect(m_service, &TranscodeService::progress, this, &TranscodeDialog::onProgress);
    connect(m_service, &TranscodeService::finished, this, &TranscodeDialog::onFinished);
}

// The source, the quality and the target, one row each.
QFormLayout* TranscodeDialog::buildForm()
{
    auto* form = new QFormLayout;
    form->setSpacing(10);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);

    m_input = new QLineEdit(this);
    m_input->setObjectName(QStringLiteral("tcInput"));
    m_input->setReadOnly(true);
    m_input->setPlaceholderText(QStringLiteral("选择要压缩的视频文件"));
    m_inputBrowse = Theme::pointerButton(QStringLiteral("浏览…"), this);
    auto* inputRow = new QHBoxLayout;
    inputRow->addWidget(m_input, 1);
    inputRow->addWidget(m_inputBrowse);
    form->addRow(plainLabel(QStringLiteral("视频文件"), "tcLabel", this), inputRow);

    m_quality = new QComboBox(this);
    m_quality->setObjectName(QStringLiteral("tcQuality"));
    m_quality->setCursor(Qt::PointingHandCursor);
    m_quality->addItem(QStringLiteral("接近原画质，文件较大"), int(NearOriginal));
    m_quality->addItem(QStringLiteral("画质与体积平衡（推荐）"), int(Balanced));
    m_quality->addItem(QStringLiteral("文件最小，画质略降"), int(Smallest));
    m_quality->setCurrentIndex(1);
    // The list drops down below the box as on Windows, instead of the
    // overlapping pop-up whose frame the style sheet cannot reach (white
    // strips above and below the items); items are drawn by a delegate that
    // honours the style sheet, so the one under the pointer is highlighted.
    m_quality->setItemDelegate(new QStyledItemDelegate(m_quality));
    form->addRow(plainLabel(QStringLiteral("压缩质量"), "tcLabel", this), m_quality);

    m_output = new QLineEdit(this);
    m_output->setObjectName(QStringLiteral("tcOutput"));
    m_output->setPlaceholderText(QStringLiteral("转换后的保存位置"));
    m_outputBrowse = Theme::pointerButton(QStringLiteral("浏览…"), this);
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(m_output, 1);
    outputRow->addWidget(m_outputBrowse);
    form->addRow(plainLabel(QStringLiteral("保存为"), "tcLabel", this), outputRow);
    return form;
}

void TranscodeDialog::onBrowseInput()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("选择视频文件"), AppConfig::instance()->lastImportDir(),
        QStringLiteral("视频文件 (*.mkv *.mp4 *.avi *.mov *.flv *.wmv *.ts *.webm *.m4v);;"
                       "所有文件 (*.*)"));
    if (!path.isEmpty()) {
        takeInput(path);
    }
}

void TranscodeDialog::takeInput(const QString& path)
{
    const QFileInfo info(path);
    m_input->setText(path);
    AppConfig::instance()->setLastImportDir(info.absolutePath());
    m_output->setText(QDir(info.absolutePath())
                          .filePath(info.completeBaseName() + QStringLiteral("_compressed.mp4")));
}

void TranscodeDialog::onBrowseOutput()
{
    QString start = m_output->text();
    if (start.isEmpty()) {
        start = QDir(AppConfig::instance()->lastImportDir()).filePath(QStringLiteral("output.mp4"));
    }
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("保存为"), start,
                                                QStringLiteral("MP4 视频 (*.mp4)"));
    if (path.isEmpty()) {
        return;
    }
    if (!path.endsWith(QStringLiteral(".mp4"), Qt::CaseInsensitive)) {
        path += QStringLiteral(".mp4");
    }
    m_output->setText(path);
}

void TranscodeDialog::onStartClicked()
{
    const QString input = m_input->text();
    const QString output = m_output->text().trimmed();
    if (input.isEmpty()) {
        warn(this, QStringLiteral("请先选择要压缩的视频文件。"));
        return;
    }
    if (output.isEmpty()) {
        warn(this, QStringLiteral("请选择转换后的保存位置。"));
        return;
    }
    if (TranscodeService::samePath(input, output)) {
        warn(this, QStringLiteral("保存位置不能和源文件相同。"));
        return;
    }
    if (!TranscodeService::ffmpegAvailable()) {
        warn(this, QStringLiteral("未找到转码组件，请确认软件安装完整。"));
        return;
    }
    const QFileInfo target(output);
    bool replace = false;
    if (target.exists()) {
        if (!target.isFile()) {
            warn(this, QStringLiteral("保存位置不是一个文件，请换一个名字。"));
            return;
        }
        if (!ConfirmDialog::confirm(
                this, QStringLiteral("文件已存在"),
                QStringLiteral("“%1”已经存在。转换完成后用新文件替换它吗？").arg(target.fileName()),
                QStringLiteral("替换"), QStringLiteral("取消"))) {
            return;
        }
        replace = true;
    }

    const int quality = m_quality->currentData().toInt();
    setBusy(true);
    m_status->setText(QStringLiteral("正在转换，请稍候…"));
    m_status->show();
    m_service->transcode(input, output, quality, replace);
}

void TranscodeDialog::onProgress(int percent)
{
    m_progress->setValue(percent);
}

void TranscodeDialog::onFinished(bool success, const QString& message)
{
    setBusy(false);
    m_status->show();
    if (success) {
        m_progress->setValue(100);
        m_status->setText(QStringLiteral("转换完成：") + QFileInfo(message).fileName());
        // Good news: the Info look, not the warning sign.
        ConfirmDialog::alert(this, QStringLiteral("完成"), QStringLiteral("视频已压缩转换完成。"),
                             ConfirmDialog::Info, QStringLiteral("我知道了"));
    } else {
        m_status->setText(message);
    }
}

void TranscodeDialog::reject()
{
    if (m_busy && m_service->isRunning()) {
        m_service->cancel();
    }
    QDialog::reject();
}

void TranscodeDialog::setBusy(bool busy)
{
    m_busy = busy;
    m_progress->setVisible(busy);
    if (busy) {
        m_progress->setValue(0);
    }
    m_inputBrowse->setEnabled(!busy);
    m_outputBrowse->setEnabled(!busy);
    m_quality->setEnabled(!busy);
    m_start->setEnabled(!busy);
    m_start->setText(busy ? QStringLiteral("转换中…") : QStringLiteral("开始转换"));
}
