// The factory of the SASL mechanisms, by name.
#pragma once

#include "mail/sasl.h"

namespace vessamo::mail {

// The mechanism of that name (any case). `clientNonce` is SCRAM's nonce: left empty, it is
// drawn from the system's cryptographic random source (tests give a fixed one).
SaslMade makeMechanism(const QByteArray &name, const SaslCredentials &credentials,
                       const QByteArray &clientNonce = QByteArray());

} // namespace vessamo::mail
