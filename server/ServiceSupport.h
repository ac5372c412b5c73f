#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "ApiError.h"

// Small pieces the rules share across their source files: reading request
// fields, the usual refusals for them, and the error log.
namespace support {

void serverLog(const QString& line);
// Logs where a database call failed and answers SERVER_ERROR, with no details.
Reply serverError(const char* where);

// Reads an optional string member. Absent or null: empty, true. Present but
// not a string: false.
bool stringField(const QJsonObject& o, const QString& name, QString* out);

ApiError wrongType(const QString& field);
ApiError missing(const QString& field);
ApiError tooLong(const QString& field);

// The credential of an "Authorization: Bearer …" header; empty when absent.
QString bearerToken(const QByteArray& authorization);

}  // namespace support
