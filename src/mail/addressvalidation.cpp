// Form-only checks of e-mail addresses and host names: one "@" and a "." in the domain
// part are enough. Nothing here touches the network.
#include "mail/addressvalidation.h"

namespace vessamo::mail {

bool IsValidEmailAddress(const QString &addressString)
{
    const qsizetype at = addressString.indexOf(u'@');
    if (at < 0 || addressString.indexOf(u'@', at + 1) >= 0)
        return false;
    return IsValidDomain(addressString.mid(at + 1));
}

bool IsValidDomain(const QString &text)
{
    // Surrounding blanks and letter case cannot change whether a "." is present, so no
    // trimming is needed: a text of blanks only has none and is refused.
    return text.contains(u'.');
}

} // namespace vessamo::mail
