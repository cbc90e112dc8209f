// Reading a queued pair for forwarding: the sender from the message's own From: header
// and the forward-to text from the pair's forward-to file. Pure functions over bytes.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace vessamo::routing {

struct Remitent
{
    QString address;
    QString displayName;
};

// The sender of a stored message, searched as "From:", then "FROM:", then "from:", each at
// the very start of the text or after a CR LF anywhere in it (the first such place).
// Empty when there is no sender.
std::optional<Remitent> ExtreureRemitent(const QByteArray &message);

// The first text field of a forward-to file: leading blanks skipped, up to the first
// comma, CR or LF or the end; a field that starts with a double quote runs to the next
// one, without the quotes.
QString firstTextField(const QByteArray &bytes);

} // namespace vessamo::routing
