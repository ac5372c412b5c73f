#pragma once

#include <QString>

// Who is watching, as the marks on the picture name them: the name a person
// reads (the display name, else the user name) and the device's identifier.
// The application hands it down after each login, so the player side never
// asks the session for it and stays free of the network layer.
struct ViewerIdentity
{
    QString name;
    QString deviceId;
};
