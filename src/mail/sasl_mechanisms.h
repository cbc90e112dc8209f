// The makers of the mechanisms that live in files of their own, for makeMechanism() (sasl.cpp),
// and the checks they share. Internal to the SASL code.
#pragma once

#include "mail/sasl.h"

#include <QCryptographicHash>

namespace vessamo::mail::sasl {

SaslMade makeScram(QCryptographicHash::Algorithm algorithm, const QByteArray &name,
                   const SaslCredentials &credentials, const QByteArray &clientNonce);
SaslMade makeXOAuth2(const SaslCredentials &credentials);
SaslMade makeOAuthBearer(const SaslCredentials &credentials);

// A server's text fit for the log: control characters become "?", and it is cut at `limit`.
QString printable(const QByteArray &serverText, qsizetype limit = 200);

// A name in a SCRAM or gs2 header (saslname, RFC 5802 section 5.1): "," and "=" are written
// "=2C" and "=3D".
QByteArray escapeSaslName(const QByteArray &name);

// An exchange that went on after it should have ended.
QString unexpectedChallenge(const QByteArray &mechanism);

} // namespace vessamo::mail::sasl
