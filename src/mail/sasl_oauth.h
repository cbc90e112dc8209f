// XOAUTH2 and OAUTHBEARER: the makers for the factory, and the reader of the JSON error a
// server sends for a refused token.
#pragma once

#include "mail/sasl.h"

namespace vessamo::mail {

// The error a server sends as the challenge after a refused XOAUTH2 or OAUTHBEARER token
// (RFC 7628 section 3.2.2; Google's XOAUTH2 the same): a JSON object.
struct OAuthError
{
    QString status;
    QString scope;
    bool readable = false; // false: not a JSON object with a status
};

OAuthError parseOAuthError(const QByteArray &json);

// The explanation for the log: "status invalid_token, scope https://..." with the server's
// text cut short and stripped of control characters.
QString describeOAuthError(const OAuthError &error);

namespace sasl {

SaslMade makeXOAuth2(const SaslCredentials &credentials);
SaslMade makeOAuthBearer(const SaslCredentials &credentials);

} // namespace sasl

} // namespace vessamo::mail
