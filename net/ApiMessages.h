#pragma once

#include <QNetworkReply>
#include <QString>

// The one place where server error codes and transport failures become the
// sentences shown to the user. serverMessage is the envelope's "message",
// used where a code has no text of its own.

// Login and silent-login refusals.
QString authErrorMessage(const QString& code, const QString& serverMessage);
// Refusals of /api/video/key.
QString keyErrorMessage(const QString& code, const QString& serverMessage);
// Refusals of /api/merchant/keys.
QString uploadErrorMessage(const QString& code, const QString& serverMessage);
// Transport failures; detail (usually the reply's error string) stands in for
// errors without a text of their own.
QString networkErrorMessage(QNetworkReply::NetworkError error, const QString& detail);

// Shown when an answer is not an envelope although the transport succeeded.
inline QString unreadableAnswerMessage()
{
    return QStringLiteral("服务器返回了无法识别的响应");
}
