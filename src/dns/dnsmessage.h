// The DNS MX wire format (RFC 1035): the query datagram and the reading of a reply.
// Pure functions over bytes, no socket: the lookup in mxquery.cpp is only transport.
// Every read of a reply is bounds-checked; a reply that runs past its octets or whose
// compression pointers loop is reported as malformed and its partial result dropped.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace vessamo::dns {

inline constexpr quint16 kQueryIdentifier = 4575;
inline constexpr quint16 kTypeMx = 15;
inline constexpr quint16 kClassInternet = 1;
inline constexpr qsizetype kHeaderSize = 12;
// The reply buffer: at most this many octets of a datagram are looked at.
inline constexpr qsizetype kMaxReplySize = 2048;

// The label form of `domain` without its final zero octet: for each piece between dots,
// a length octet and the piece's characters (Windows-1252). A final "." names the root
// and adds nothing. Empty when the name cannot travel: an empty label elsewhere, a label
// over 63 octets, or a name over 255 octets.
QByteArray EncodeDnsName(const QString &domain);

// The whole query datagram: identifier 4575, recursion desired, one question of type
// MX, class Internet. Empty when EncodeDnsName refuses the domain.
QByteArray buildMxQuery(const QString &domain);

// Reads the name at `position` of `reply`, following compression pointers, and moves
// `position` past it (past the first pointer when there is one). No value when the name
// runs past the reply, a pointer leads outside it, or the pointers loop.
std::optional<QString> DecodeDnsName(const QByteArray &reply, qsizetype &position);

struct MxReply
{
    quint16 identifier = 0;
    quint16 answerCount = 0;
    // The exchanger with the lowest preference, the first one among equals; empty when
    // there is none, the first non-MX record stops the reading, or the reply is malformed.
    QString bestHost;
    bool malformed = false;
};

// Reads the header and answer section. No value when the reply is shorter than a header.
std::optional<MxReply> readMxReply(const QByteArray &reply);

} // namespace vessamo::dns
