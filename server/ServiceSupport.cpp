#include "ServiceSupport.h"

#include <QJsonValue>
#include <cstdio>

namespace support {

void serverLog(const QString& line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

Reply serverError(const char* where)
{
    serverLog(QStringLiteral("error: database failure in %1").arg(QLatin1String(where)));
    return Reply::failure(apiError(ErrorCode::ServerError));
}

bool stringField(const QJsonObject& o, const QString& name, QString* out)
{
    const QJsonValue v = o.value(name);
    if (v.isUndefined() || v.isNull()) {
        out->clear();
        return true;
    }
    if (!v.isString()) {
        return false;
    }
    *out = v.toString();
    return true;
}

ApiError wrongType(const QString& field)
{
    return apiError(ErrorCode::InvalidRequest, QStringLiteral("字段 %1 的类型不正确").arg(field));
}

ApiError missing(const QString& field)
{
    return apiError(ErrorCode::InvalidRequest, QStringLiteral("缺少字段 %1").arg(field));
}

ApiError tooLong(const QString& field)
{
    return apiError(ErrorCode::InvalidRequest, QStringLiteral("字段 %1 过长").arg(field));
}

QString bearerToken(const QByteArray& authorization)
{
    const QByteArray v = authorization.trimmed();
    if (v.size() < 8 || qstrnicmp(v.constData(), "bearer ", 7) != 0) {
        return {};
    }
    return QString::fromLatin1(v.mid(7).trimmed());
}

}  // namespace support
