// Server answers as the client reads them: the envelope, the sentence shown
// for a refusal by each endpoint's table, the key manager's judgement of a
// key answer (first try and after a renewal) and the server times in a login
// record. A key handed on must be exactly 32 bytes; a refusal must come with
// a sentence for the user.
#include <QByteArray>
#include <QJsonObject>
#include <cstdint>
#include <cstdlib>

#include "ApiClient.h"
#include "ApiMessages.h"
#include "AuthManager.h"
#include "KeyManager.h"

namespace {

void judgeKeyAnswer(const ApiResult& result, bool retried)
{
    const KeyManager::KeyAnswer answer = KeyManager::readKeyAnswer(result, retried);
    switch (answer.outcome) {
        case KeyManager::KeyAnswer::Outcome::Key:
            if (!result.succeeded() || answer.key.size() != 32) {
                std::abort();
            }
            break;
        case KeyManager::KeyAnswer::Outcome::RenewAndRetry:
            if (retried || result.kind != ApiResult::Kind::Refused) {
                std::abort();
            }
            break;
        case KeyManager::KeyAnswer::Outcome::Refused:
            if (answer.reason.isEmpty() || !answer.key.isEmpty()) {
                std::abort();
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    ApiResult result;
    ApiClient::readEnvelope(body, &result);

    if (!result.succeeded()) {
        for (auto table : {authErrorMessage, keyErrorMessage, uploadErrorMessage}) {
            if (result.failureText(table, networkErrorMessage).isEmpty()) {
                std::abort();
            }
        }
    } else {
        AuthManager::parseServerTime(result.data.value(QLatin1String("tokenExpiry")).toString());
        AuthManager::parseServerTime(result.data.value(QLatin1String("accountExpiry")).toString());
    }
    judgeKeyAnswer(result, false);
    judgeKeyAnswer(result, true);
    return 0;
}
