#include "SettingsDialog.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppConfig.h"
#include "Theme.h"

namespace {

constexpr int kMinimumWidth = 460;  // room for a typical folder path

const char* const kStyle = R"(
QDialog { background: {page}; }
QLabel { color: {text}; }
QLineEdit { background: {ink}; border: 1px solid {accentLine}; border-radius: 6px; padding: 7px 10px;
            color: {text}; }
QPushButton { background: {white@8}; border: 1px solid {accentLine}; border-radius: 6px;
              padding: 7px 16px; color: {text}; }
QPushButton:hover { background: {white@14}; }
#settingsSaveBtn { background: {accent}; color: {ink}; border: none; font-weight: 600; }
#settingsSaveBtn:hover { background: {accentHover}; }
)";

// Enter in the folder field must not press a button behind the user's back.
QPushButton* button(const QString& text, QWidget* parent, const QString& name = QString())
{
    QPushButton* b = Theme::pointerButton(text, parent, name);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("设置"));
    setMinimumWidth(kMinimumWidth);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 20, 24, 20);
    outer->setSpacing(16);

    auto* form = new QFormLayout;
    form->setSpacing(10);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* dirRow = new QHBoxLayout;
    m_dirField = new QLineEdit(this);
    m_dirField->setReadOnly(true);
    const QString stored = AppConfig::instance()->screenshotDir();
    m_dirField->setText(
        QDir::toNativeSeparators(stored.isEmpty() ? AppConfig::defaultScreenshotDir() : stored));
    m_browseButton = button(QStringLiteral("浏览…"), this);
    dirRow->addWidget(m_dirField, 1);
    dirRow->addWidget(m_browseButton);
    form->addRow(QStringLiteral("截图保存目录"), dirRow);
    outer->addLayout(form);
    outer->addStretch();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_cancelButton = button(QStringLiteral("取消"), this);
    m_saveButton = button(QStringLiteral("保存"), this, QStringLiteral("settingsSaveBtn"));
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_saveButton);
    outer->addLayout(buttons);

    connect(m_browseButton, &QPushButton::clicked, this, &SettingsDialog::onBrowseScreenshotDir);
    connect(m_saveButton, &QPushButton::clicked, this, &SettingsDialog::onSave);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    setStyleSheet(Theme::fill(kStyle));
}

void SettingsDialog::onBrowseScreenshotDir()
{
    const QString picked = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择截图保存目录"), m_dirField->text(), QFileDialog::ShowDirsOnly);
    if (picked.isEmpty()) {
        return;
    }
    m_dirField->setText(QDir::toNativeSeparators(picked));
    m_picked = true;
}

void SettingsDialog::onSave()
{
    // The default shown at opening is not the user's choice: storing it
    // would pin today's default for good, even after the profile moves.
    if (m_picked) {
        AppConfig::instance()->setScreenshotDir(QDir::fromNativeSeparators(m_dirField->text()));
    }
    accept();
}
