#pragma once

#include <QByteArray>

#include <functional>

// What the simulator keeps of a request is shown to whoever reads /_sim/requests:
// credentials in it are replaced by a mask, a keyed digest of the value, so that a test
// can still tell which value was sent without the value itself being kept.
namespace RequestMask {

using Mask = std::function<QByteArray(const QByteArray &value)>;

// Headers that carry credentials (Authorization, Proxy-Authorization, Cookie,
// X-Access-Token), compared without case.
bool isSecretHeader(const QByteArray &name);

// Query parameters whose (percent-decoded) name speaks of a key, token, password,
// secret, session, signature or credentials.
bool isSecretParameter(const QByteArray &name);

// The query (the part after '?', as sent) with the value of every secret parameter
// replaced by mask(value); everything else stays byte for byte.
QByteArray maskQuery(const QByteArray &query, const Mask &mask);

} // namespace RequestMask
