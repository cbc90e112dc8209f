// Form-only checks of e-mail addresses and host names. Deliberately weak: one "@" and a
// domain part holding a "." are enough; the network is never asked.
#pragma once

#include <QString>

namespace vessamo::mail {

// True when the address holds exactly one "@" and the text after it passes IsValidDomain.
// The part before the "@" is not examined.
bool IsValidEmailAddress(const QString &addressString);

// True when the text, trimmed of blanks, contains at least one ".". Also serves as the
// name-syntax check of the SMTP and POP3 host names.
bool IsValidDomain(const QString &text);

} // namespace vessamo::mail
