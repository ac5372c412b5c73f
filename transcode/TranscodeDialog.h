#pragma once

#include <QDialog>

class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TranscodeService;

// The modal window in which a merchant picks a video, a quality and a target
// and watches the conversion. Closing it during a conversion cancels it.
class TranscodeDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TranscodeDialog(QWidget* parent = nullptr);

    TranscodeService* service() const { return m_service; }
    bool isBusy() const { return m_busy; }

public slots:
    void onBrowseInput();
    void onBrowseOutput();
    void onStartClicked();
    void onProgress(int percent);
    void onFinished(bool success, const QString& message);
    void reject() override;

private:
    QFormLayout* buildForm();
    void setBusy(bool busy);
    // The file chosen as input: its folder becomes the import folder and the
    // target becomes "<folder>/<name>_compressed.mp4".
    void takeInput(const QString& path);

    QLineEdit* m_input;
    QPushButton* m_inputBrowse;
    QComboBox* m_quality;
    QLineEdit* m_output;
    QPushButton* m_outputBrowse;
    QProgressBar* m_progress;
    QLabel* m_status;
    QPushButton* m_start;
    QPushButton* m_close;
    TranscodeService* m_service;  // child
    bool m_busy = false;          // a conversion was started and has not reported
};
