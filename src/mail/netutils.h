// Network utilities of the mail client that stand apart from the SMTP session: host name
// to IPv4 address, the machine's own host name, one ICMP echo request, and the MIME type
// of a file from the system's MIME database. All calls block the thread: a lookup as long
// as the resolver takes, an echo at most 255 ms.
#pragma once

#include <QString>
#include <QtGlobal>

namespace vessamo::mail {

// The first IPv4 address of the host, dotted, or empty when the name does not resolve.
// An empty hostName is first replaced by GetIPHost(); the name is then trimmed of blanks.
// The caller's variable receives both changes.
QString GetIPAddress(QString &hostName);

// The machine's host name, or empty.
QString GetIPHost();

// Sends one ICMP echo request (32 random bytes, 255 ms time-out) to `address`, a dotted
// IPv4 address or a host name (resolved through GetIPAddress, which may change it).
// Once the echo has been tried, address receives the address that answered ("0.0.0.0"
// when none did), roundTripTime the time in milliseconds, dataSize the echoed size
// followed by " bytes"; dataMatch is set when the echoed data can be compared with what
// was sent, and left alone otherwise. True when a reply came back from the address asked.
bool Ping(QString &address, QString &roundTripTime, QString &dataSize, bool &dataMatch);

// The MIME type registered for the file's extension (the text from its last "." on), or
// strDefault when it has none or the extension is unknown.
QString GetContentType(const QString &strFile, const QString &strDefault = QString());

// True for four "."-separated decimal numbers, the first at most 239, the others at most 255.
bool IsDottedQuad(const QString &text);

// The IPv4 address of four "."-separated decimal octets in network byte order (the four
// numbers in order in memory, as inet_addr gives it); 0 for any other text.
quint32 DottedToAddress(const QString &text);

} // namespace vessamo::mail
