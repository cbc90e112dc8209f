// SCRAM-SHA-1 and SCRAM-SHA-256: the maker for the factory, and the parsers of the server's
// messages (pure, for the tests and the fuzz targets too).
#pragma once

#include "mail/sasl.h"

#include <QCryptographicHash>

namespace vessamo::mail {

// Iteration counts SCRAM accepts: a server may not make the client burn minutes of processor
// time (the count is the server's to choose, and the derivation runs in this thread).
inline constexpr int kScramMinIterations = 1;
inline constexpr int kScramMaxIterations = 1000000;

struct ScramServerFirst
{
    QByteArray nonce; // the client's nonce followed by the server's
    QByteArray salt; // decoded
    int iterations = 0;
};

struct ScramServerFirstParsed
{
    ScramServerFirst value;
    QString failure;
    bool ok() const { return failure.isEmpty(); }
};

// server-first-message (RFC 5802 section 7): "r=nonce,s=salt,i=count" and optional
// extensions; a mandatory extension ("m=") and anything out of this shape are refused.
ScramServerFirstParsed parseScramServerFirst(const QByteArray &message);

struct ScramServerFinal
{
    QByteArray verifier; // the decoded server signature ("v="), or
    QByteArray error; // the server's error ("e="), as the server wrote it
};

struct ScramServerFinalParsed
{
    ScramServerFinal value;
    QString failure;
    bool ok() const { return failure.isEmpty(); }
};

// server-final-message: "v=signature" or "e=error", optional extensions after either.
ScramServerFinalParsed parseScramServerFinal(const QByteArray &message);

namespace sasl {

SaslMade makeScram(QCryptographicHash::Algorithm algorithm, const QByteArray &name,
                   const SaslCredentials &credentials, const QByteArray &clientNonce);

} // namespace sasl

} // namespace vessamo::mail
