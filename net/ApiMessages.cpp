#include "ApiMessages.h"

#include <QHash>

namespace {

QString orFallback(const QString& serverMessage, const char* fallback)
{
    return serverMessage.isEmpty() ? QString::fromUtf8(fallback) : serverMessage;
}

}  // namespace

QString authErrorMessage(const QString& code, const QString& serverMessage)
{
    static const QHash<QString, QString> texts = {
        {QStringLiteral("INVALID_CREDENTIALS"), QStringLiteral("账号或密码错误")},
        {QStringLiteral("ACCOUNT_DISABLED"), QStringLiteral("账号已被禁用，请联系管理员")},
        {QStringLiteral("ACCOUNT_EXPIRED"), QStringLiteral("账号已过期")},
        {QStringLiteral("PERMISSION_DENIED"), QStringLiteral("无访问权限")},
        {QStringLiteral("TOKEN_INVALID"), QStringLiteral("登录已失效，请重新登录")},
        {QStringLiteral("TOKEN_EXPIRED"), QStringLiteral("登录已过期，请重新登录")},
        {QStringLiteral("SERVER_ERROR"), QStringLiteral("服务器内部错误，请稍后再试")},
    };
    const auto it = texts.constFind(code);
    return it != texts.constEnd() ? *it : orFallback(serverMessage, "登录失败");
}

QString keyErrorMessage(const QString& code, const QString& serverMessage)
{
    static const QHash<QString, QString> texts = {
        {QStringLiteral("KEY_NOT_FOUND"), QStringLiteral("服务器找不到该视频的密钥")},
        {QStringLiteral("KEY_REVOKED"), QStringLiteral("该视频已被商家吊销")},
        {QStringLiteral("PERMISSION_DENIED"), QStringLiteral("您没有该视频的观看权限")},
        {QStringLiteral("PERMISSION_EXPIRED"), QStringLiteral("该视频的观看权限已过期")},
        {QStringLiteral("DEVICE_REQUIRED"), QStringLiteral("客户端未提供设备信息，无法验证")},
        {QStringLiteral("DEVICE_REJECTED"), QStringLiteral("当前设备已被禁用，请联系商家")},
        {QStringLiteral("TOKEN_INVALID"), QStringLiteral("登录已失效，请重新登录")},
        {QStringLiteral("TOKEN_EXPIRED"), QStringLiteral("登录已失效，请重新登录")},
    };
    // The server knows which devices the user could release, so its own
    // wording wins for this code.
    if (code == QLatin1String("DEVICE_LIMIT_EXCEEDED")) {
        return orFallback(serverMessage, "已达设备数上限，请联系商家在后台解绑不再使用的设备");
    }
    const auto it = texts.constFind(code);
    return it != texts.constEnd() ? *it : orFallback(serverMessage, "密钥获取失败");
}

QString uploadErrorMessage(const QString& code, const QString& serverMessage)
{
    if (code == QLatin1String("KEY_CONFLICT")) {
        return QStringLiteral("视频 ID 冲突，请重试");
    }
    return orFallback(serverMessage, "服务器拒绝上传密钥");
}

QString networkErrorMessage(QNetworkReply::NetworkError error, const QString& detail)
{
    switch (error) {
        case QNetworkReply::ConnectionRefusedError:
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::HostNotFoundError:
        case QNetworkReply::NetworkSessionFailedError:
        case QNetworkReply::UnknownServerError:
            return QStringLiteral("无法连接服务器，请检查网络");
        // Every caller's time-out works by aborting the reply.
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:
            return QStringLiteral("服务器响应超时");
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("安全连接失败");
        case QNetworkReply::InternalServerError:
        case QNetworkReply::ServiceUnavailableError:
            return QStringLiteral("服务器暂时不可用");
        default:
            return orFallback(detail, "网络请求失败");
    }
}
