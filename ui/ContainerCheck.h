#pragma once

#include <QString>

// Whether a path the viewer handed us (a drop, the file dialog) may become a
// playlist row, and if not, why, in words the viewer can act on. Only a
// regular file is ever opened: a FIFO would wait for a writer on the GUI
// thread, a device would be read without end.
class ContainerCheck
{
public:
    ContainerCheck() = delete;

    // Empty when path is a regular file that starts with a container
    // header; otherwise one short reason.
    static QString refusal(const QString& path);

    // The reason for a path whose name says it is no container (a drop of
    // something else): found from its directory entry alone, never opened.
    static QString misnamed(const QString& path);
};
