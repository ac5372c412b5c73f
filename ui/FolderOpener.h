#pragma once

#include <QString>
#include <functional>

class QUrl;
class QWidget;

// Shows a folder in the desktop's file manager. Where no program takes the
// folder (a bare system, a broken desktop setting) the user hears it from a
// card that names the folder, rather than from a click that does nothing.
class FolderOpener
{
public:
    // Hands a folder's URL to the desktop; true when some program took it.
    using Opener = std::function<bool(const QUrl&)>;

    // An empty opener means the desktop's own (QDesktopServices::openUrl).
    explicit FolderOpener(Opener opener = {});

    void setOpener(const Opener& opener);

    // Opens dir; on failure tells the user with a card over parent (modal)
    // and returns false.
    bool open(QWidget* parent, const QString& dir) const;

    // The card's message for a folder that could not be opened.
    static QString failureMessage(const QString& dir);

private:
    Opener m_opener;
};
