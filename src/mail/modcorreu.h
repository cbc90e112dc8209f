// Base64 coding for the mail client: the encoder used for attachments, header words and
// the AUTH LOGIN answers, and the decoder used to read the server's AUTH LOGIN challenges.
// Encoded output is laid out in lines of 76 characters, each ending in CR LF, and the
// whole output always ends in CR LF (RFC 2045 section 6.8).
#pragma once

#include <QByteArray>
#include <QString>

namespace vessamo::mail {

// Encodes `bytes` as Base64 in 76-character lines, CR LF after each line and at the end.
// The caller's array is padded in place with zero bytes to a multiple of 3 (the padding
// signs of the output stand for those bytes). An empty array gives CR LF alone.
QByteArray Base64Encode(QByteArray &bytes);

// Encodes the text's Windows-1252 bytes; an empty text gives an empty text (no CR LF).
QString Base64EncodeText(const QString &text);

// Decodes Base64 text. CR LF pairs are ignored; a character outside the Base64 alphabet
// gives an empty result. Padding ends its group of four and decoding goes on after it.
// Each decoded byte becomes one character (Windows-1252).
QString Base64Decode(const QString &text);

// The same decoding with the bytes returned as they are, for callers that need bytes.
QByteArray Base64DecodeBytes(const QString &text);

} // namespace vessamo::mail
