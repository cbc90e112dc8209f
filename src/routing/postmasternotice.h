// The notice a run sends to the postmaster address for a pair it filed as failed: a whole
// message, composed here as bytes and relayed by the forwarder through the configured SMTP
// server. From, To and the envelope's both ends are the postmaster address alone, never
// the failed message's sender (no backscatter; a notice that bounces goes back to the
// postmaster). The text is UTF-8 in quoted-printable, the subject an RFC 2047 word, and
// the original header section rides in a text/rfc822-headers part (RFC 6522), also in
// quoted-printable, so that whatever bytes it holds (bare CR, NUL, 8-bit, endless lines)
// the notice stays 7-bit with short lines, and the reader gets those bytes back (line ends
// as CR LF).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace vessamo::routing {

// At most this many notices per run; the pairs beyond are named in the last one.
inline constexpr int kNoticesPerRun = 10;

// What a notice tells about one failed pair.
struct FailedPair
{
    QString stem;
    QString forwardTo;
    QString sender; // the envelope sender forwarding used; may be empty
    QString reason; // the last failure text
    int attempts = 0;
    QByteArray headers; // the original header section, as received
};

// The header section of a stored message: up to and including the empty line that ends it
// (CR LF or LF), at most `limit` bytes.
QByteArray headerSection(const QByteArray &message, qsizetype limit = 64 * 1024);

// Quoted-printable (RFC 2045 6.7) of bytes whose lines end in CR LF or LF: those line ends
// become CR LF; every other control byte (a bare CR too), "=", and each byte above 126 is
// written =XX; lines are broken softly before 76 characters.
QByteArray quotedPrintable(const QByteArray &bytes);

// The whole notice for `pair`, addressed to `postmaster`. `others` names the pairs of the
// run beyond the bound (one line each), for the last notice; `host` goes into the
// Message-ID.
QByteArray composeNotice(const QString &postmaster, const FailedPair &pair,
                         const QStringList &others, const QDateTime &now, const QString &host);

} // namespace vessamo::routing
