// Reading a queued pair for forwarding: the sender from the message's own From: header
// and the forward-to text from the pair's forward-to file. Functions over bytes, and the
// sender search over a message file read in blocks.
#pragma once

#include <QByteArray>
#include <QIODevice>
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

// The same for a stored message read from `message` (open, seekable, at its start) without
// holding it whole: the search for the header runs through the message in blocks, and the
// sender is read from the kSenderWindow octets where the header starts. A sender that does
// not end within them is none (no server takes a sender that long); so is a message that
// cannot be read. The sizes are for tests.
inline constexpr qsizetype kSenderWindow = 65536;
std::optional<Remitent> ExtreureRemitent(QIODevice &message, qsizetype blockSize = 65536,
                                         qsizetype window = kSenderWindow);

// The first text field of a forward-to file: leading blanks skipped, up to the first
// comma, CR or LF or the end; a field that starts with a double quote runs to the next
// one, without the quotes.
QString firstTextField(const QByteArray &bytes);

} // namespace vessamo::routing
