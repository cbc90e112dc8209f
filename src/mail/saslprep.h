// SASLprep for SCRAM's user name and password.
#pragma once

#include <QString>

namespace vessamo::mail {

// SASLprep (RFC 4013) of a user name or password, as a query (RFC 5802 section 2.2): spaces
// beyond ASCII become spaces, the characters "commonly mapped to nothing" go, the result is
// NFKC-normalized (Unicode 3.2); prohibited characters and mixed-direction text are refused,
// never dropped. The failure says what kind of character, never which one.
struct SaslPrepared
{
    QString text;
    QString failure; // "holds a control character", to follow "The password "
    bool ok() const { return failure.isEmpty(); }
};

SaslPrepared saslPrep(const QString &text);

} // namespace vessamo::mail
