#pragma once

#include <QHostAddress>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "ContentServer.h"
#include "Service.h"

// Everything `serve` can be told on its command line, at the built-in
// defaults until an option says otherwise.
struct ServeSettings
{
    QHostAddress address{QHostAddress::LocalHost};
    int port = 8787;
    // Given at all, even empty: then TLS was asked for.
    std::optional<QString> tlsCert;
    std::optional<QString> tlsKey;
    bool behindTlsProxy = false;
    // One per core: each request is mostly database reads and a little
    // crypto, so the rules scale with the cores like the database does.
    int serviceThreads;
    ServiceOptions service;
    HttpOptions http;

    ServeSettings();
};

// One option of `serve`. The table is made over settings that still hold
// their defaults, and each help text is finished from the very field the
// option sets, so the default it names is the one in force.
struct ServeOption
{
    const char* name;
    const char* valueName;  // nullptr: a flag
    QString help;
    // Takes the option's value into its field; empty, or why it cannot.
    std::function<QString(const QString& value)> read;
};

// The options in the order the help lists them, bound to the fields of `s`,
// which must outlive the table.
std::vector<ServeOption> serveOptions(ServeSettings& s);
