// Encoders that message composition needs beyond Base64: one UU-encoded line, RFC 2047
// encoded words for header phrases and texts (ISO-8859-1 or UTF-8, Q or B, whichever is
// shorter), and the helpers that keep other header values well formed: quoted strings,
// RFC 2231 file-name parameters and Content-IDs. Pure functions over bytes and texts; the file
// sender that uses them lives with the mail object (clsenviarcorreu_send.cpp).
#pragma once

#include <QByteArray>
#include <QString>

namespace vessamo::mail {

// Longest input of one UU line, and the bytes that make a full line.
inline constexpr qsizetype kUULineMax = 63;
inline constexpr qsizetype kUULineBytes = 45;

// One UU line without its line end: the length character, then four characters for each
// group of three bytes (fewer for a short last group, made up with "=" signs). Empty for
// more than 63 bytes; the grave accent alone for none.
QByteArray UUEncodeLine(const QByteArray &bytes);

// True when every character of the text is in ISO-8859-1.
bool FitsLatin1(const QString &text);

// A header text ready for the wire. A text of plain printable ASCII comes back unchanged
// (between double quotes when `quote`, with any quote or backslash escaped); otherwise it
// becomes encoded words, Q or B, whichever is shorter (B on a tie), joined by CR LF TAB:
// ISO-8859-1 words when the text fits that set, else UTF-8 words, each holding whole
// characters (a UTF-8 display name in one word while a line can hold it). A control
// character (a line break above all) always forces the encoding, so no value can start a
// header line of its own. `quote` marks a phrase (a display name): there the Q form also
// encodes the specials that a phrase may not hold (RFC 2047 5(3)).
QString EncodeHeaderText(const QString &text, bool quote);

// The text between double quotes, with any double quote or backslash escaped.
QString QuotedString(const QString &text);

// A MIME parameter: name="value" for printable ASCII without quote or backslash, else
// name*=UTF-8''percent-encoded (RFC 2231), which no quote or line break in a file name
// can break.
QString MimeParameter(const QString &name, const QString &value);

// The Content-ID (without its angle brackets) under which an attached file is referred to
// as "cid:": the file name itself when it holds only letters, digits and ". _ + ~ -";
// otherwise every other UTF-8 octet is written "=XX", which keeps the ID valid in a header
// and in a URL, and different names apart.
QString ContentIdFor(const QString &name);

} // namespace vessamo::mail
