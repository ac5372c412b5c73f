#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// The user's one setting: the folder screenshots are saved into. Only a
// folder the user picked is stored; while none is, the field shows the
// default, which stays a default and can follow the profile.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget* parent = nullptr);

private slots:
    void onBrowseScreenshotDir();
    void onSave();

private:
    QLineEdit* m_dirField = nullptr;
    QPushButton* m_browseButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    bool m_picked = false;  // the field holds a folder the user picked in this opening
};
