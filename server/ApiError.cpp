#include "ApiError.h"

#include "JsonWriter.h"

namespace {

struct Entry
{
    ErrorCode code;
    int status;
    const char* name;
    const char* message;
};

// clang-format off
const Entry kTable[] = {
    {ErrorCode::InvalidRequest,      400, "INVALID_REQUEST",       "请求格式无效"},
    {ErrorCode::PayloadTooLarge,     413, "PAYLOAD_TOO_LARGE",     "请求内容过大"},
    {ErrorCode::NotFound,            404, "NOT_FOUND",             "请求的接口不存在"},
    {ErrorCode::MethodNotAllowed,    405, "METHOD_NOT_ALLOWED",    "该接口不支持此请求方法"},
    {ErrorCode::InvalidCredentials,  401, "INVALID_CREDENTIALS",   "账号或密码错误"},
    {ErrorCode::AccountDisabled,     403, "ACCOUNT_DISABLED",      "账号已被禁用，请联系管理员"},
    {ErrorCode::AccountExpired,      403, "ACCOUNT_EXPIRED",       "账号已过期"},
    {ErrorCode::TooManyAttempts,     429, "TOO_MANY_ATTEMPTS",     "尝试次数过多，请稍后再试"},
    {ErrorCode::TokenInvalid,        401, "TOKEN_INVALID",         "登录已失效，请重新登录"},
    {ErrorCode::TokenExpired,        401, "TOKEN_EXPIRED",         "登录已过期，请重新登录"},
    {ErrorCode::PermissionDenied,    403, "PERMISSION_DENIED",     "无访问权限"},
    {ErrorCode::PermissionExpired,   403, "PERMISSION_EXPIRED",    "该视频的观看权限已过期"},
    {ErrorCode::KeyNotFound,         404, "KEY_NOT_FOUND",         "服务器找不到该视频的密钥"},
    {ErrorCode::KeyRevoked,          410, "KEY_REVOKED",           "该视频已被商家吊销"},
    {ErrorCode::DeviceRequired,      400, "DEVICE_REQUIRED",       "客户端未提供设备信息，无法验证"},
    {ErrorCode::DeviceRejected,      403, "DEVICE_REJECTED",       "当前设备已被禁用，请联系商家"},
    {ErrorCode::DeviceLimitExceeded, 403, "DEVICE_LIMIT_EXCEEDED", "已达设备数上限，请联系商家在后台解绑不再使用的设备"},
    {ErrorCode::KeyConflict,         409, "KEY_CONFLICT",          "视频 ID 已存在，请重新加密后再上传"},
    {ErrorCode::InvalidKeyId,        400, "INVALID_KEY_ID",        "视频 ID 格式无效，应为 8-4-4-4-12 形式的 UUID"},
    {ErrorCode::InvalidKey,          400, "INVALID_KEY",           "密钥格式无效，应为 32 字节密钥的 Base64 编码"},
    {ErrorCode::InvalidIv,           400, "INVALID_IV",            "初始向量格式无效，应为 16 字节的 Base64 编码"},
    {ErrorCode::InvalidFileSize,     400, "INVALID_FILE_SIZE",     "文件大小无效，应为不小于 0 的整数"},
    {ErrorCode::ApiKeyInvalid,       401, "API_KEY_INVALID",       "API 密钥无效或已被吊销"},
    {ErrorCode::MerchantDisabled,    403, "MERCHANT_DISABLED",     "该商家已被停用，请联系管理员"},
    {ErrorCode::ViewerNotFound,      404, "VIEWER_NOT_FOUND",      "找不到该观众账号"},
    {ErrorCode::GrantNotFound,       404, "GRANT_NOT_FOUND",       "找不到该授权"},
    {ErrorCode::UsernameTaken,       409, "USERNAME_TAKEN",        "该用户名已被其他账号使用"},
    {ErrorCode::ApiKeyNotFound,      404, "API_KEY_NOT_FOUND",     "找不到该 API 密钥"},
    {ErrorCode::SessionInvalid,      401, "SESSION_INVALID",       "控制台登录已失效，请重新登录"},
    {ErrorCode::CsrfRejected,        403, "CSRF_REJECTED",         "无法确认请求来自控制台页面，已拒绝"},
    {ErrorCode::ServerBusy,          503, "SERVER_BUSY",           "服务器繁忙，请稍后再试"},
    {ErrorCode::ServerError,         500, "SERVER_ERROR",          "服务器内部错误，请稍后再试"},
};
// clang-format on

}  // namespace

ApiError apiError(ErrorCode code)
{
    for (const Entry& e : kTable) {
        if (e.code == code) {
            return {e.status, QString::fromLatin1(e.name), QString::fromUtf8(e.message)};
        }
    }
    return {500, QStringLiteral("SERVER_ERROR"), QStringLiteral("服务器内部错误，请稍后再试")};
}

ApiError apiError(ErrorCode code, const QString& message)
{
    ApiError e = apiError(code);
    e.message = message;
    return e;
}

ApiError deviceLimitError(int limit)
{
    return apiError(
        ErrorCode::DeviceLimitExceeded,
        QStringLiteral("已达设备数上限（最多 %1 台），请联系商家在后台解绑不再使用的设备")
            .arg(limit));
}

Reply Reply::success(const QJsonObject& data)
{
    Reply reply;
    reply.body = QJsonObject{{QStringLiteral("success"), true}, {QStringLiteral("data"), data}};
    return reply;
}

Reply Reply::successText(std::initializer_list<std::pair<QLatin1String, QString>> fields)
{
    Reply reply;
    reply.wire.reserve(256);  // a key answer fits
    reply.wire.append(R"({"success":true,"data":{)");
    bool first = true;
    for (const auto& [name, value] : fields) {
        if (!first) {
            reply.wire.push_back(',');
        }
        first = false;
        JsonWriter::appendString(QString(name), &reply.wire);
        reply.wire.push_back(':');
        JsonWriter::appendString(value, &reply.wire);
    }
    reply.wire.append("}}");
    return reply;
}

Reply Reply::failure(const ApiError& error)
{
    Reply reply;
    reply.httpStatus = error.httpStatus;
    reply.body = QJsonObject{{QStringLiteral("success"), false},
                             {QStringLiteral("code"), error.code},
                             {QStringLiteral("message"), error.message}};
    return reply;
}
