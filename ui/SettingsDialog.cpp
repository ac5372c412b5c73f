#include "SettingsDialog.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "AppConfig.h"

namespace {

constexpr int kMinimumWidth = 460;  // room for a typical folder path

// %1 dialog background, %2 text, %3 field background, %4 border, %5 accent.
const char* const kStyle = R"(
QDialog { background: %1; }
QLabel { color: %2; }
QLineEdit { background: %3; border: 1px solid %4; border-radius: 6px; padding: 7px 10px;
            color: %2; }
QPushButton { background: rgba(255,255,255,0.08); border: 1px solid %4; border-radius: 6px;
              padding: 7px 16px; color: %2; }
QPushButton:hover { background: rgba(255,255,255,0.14); }
#settingsSaveBtn { background: %5; color: #0a0f1a; border: none; font-weight: 600; }
#settingsSaveBtn:hover { background: #33ddff; }
)";

QPushButton* button(const QString& text, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setCursor(Qt::PointingHandCursor);
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
    m_saveButton = button(QStringLiteral("保存"), this);
    m_saveButton->setObjectName(QStringLiteral("settingsSaveBtn"));
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_saveButton);
    outer->addLayout(buttons);

    connect(m_browseButton, &QPushButton::clicked, this, &SettingsDialog::onBrowseScreenshotDir);
    connect(m_saveButton, &QPushButton::clicked, this, &SettingsDialog::onSave);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    setStyleSheet(QString::fromLatin1(kStyle).arg(
        QStringLiteral("#2a3a55"), QStringLiteral("#eaf2ff"), QStringLiteral("#0a0f1a"),
        QStringLiteral("rgba(0,212,255,0.18)"), QStringLiteral("#00d4ff")));
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
