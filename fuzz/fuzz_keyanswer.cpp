// The cloud's API key answer (sign-in and renewal). The first 8 input bytes are the
// clock (seconds since the epoch, any value, the far past and future included), the
// rest is the body. Besides the sanitizers' findings: a key is accepted exactly when
// its expiry lies after the clock, and an accepted answer written back as JSON reads
// the same.

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cloud/apikeyanswer.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qint64 now = 0;
    if (size < sizeof now)
        return 0;
    std::memcpy(&now, data, sizeof now);
    const QByteArray body = FuzzSupport::bytes(data + sizeof now, size - sizeof now);

    const ApiKeyAnswer answer = ApiKeyAnswer::parse(body, now);
    if (!answer.accepted) {
        // Refused: the key expires by the clock, or there was no key to read at all.
        const bool nothingRead = answer.apiKey.isEmpty() && answer.expire == 0 && answer.type == 0;
        FuzzSupport::require(answer.expire <= now || nothingRead, "a key that outlives the clock is accepted");
        return 0;
    }
    FuzzSupport::require(now < answer.expire, "an accepted key outlives the clock");

    const QJsonObject authentication{{QStringLiteral("api_key"), answer.apiKey},
                                     {QStringLiteral("expire"), answer.expire},
                                     {QStringLiteral("type"), answer.type}};
    const QByteArray again = QJsonDocument(QJsonObject{{QStringLiteral("authentication"), authentication}}).toJson();
    const ApiKeyAnswer reread = ApiKeyAnswer::parse(again, now);
    FuzzSupport::require(reread.accepted && reread.apiKey == answer.apiKey && reread.expire == answer.expire
                             && reread.type == answer.type,
                         "an accepted answer written back reads the same", again.toStdString());
    return 0;
}
