// The texts of the mail object's error list, reported by the object's checks and by its
// SMTP session (the owner sees them in SendFailed).
#pragma once

#include <QString>

namespace vessamo::mail {

namespace errortext {
inline const QString kInvalidSmtpHost = QStringLiteral("Invalid or Missing SMTP Host Name");
inline const QString kInvalidPop3Host = QStringLiteral("Invalid or Missing POP3 Host Name");
inline const QString kInvalidRemotePort = QStringLiteral("Invalid Remote Port");
inline const QString kInvalidRecipient
    = QStringLiteral("Missing or Invalid Recipient E-mail Address");
inline const QString kInvalidCc = QStringLiteral("Invalid Cc: Recipient E-mail Address");
inline const QString kInvalidBcc = QStringLiteral("Invalid Bcc: Recipient E-mail Address");
inline const QString kInvalidSender = QStringLiteral("Missing or Invalid Sender E-mail Address");
inline const QString kMissingAttachment
    = QStringLiteral("The file you tried to attach does not exist");
inline const QString kHtmlNeedsMime = QStringLiteral("Sending HTML requires MIME encoding");
inline const QString kNoRecipient = QStringLiteral("No Recipient E-mail Address Specified");
inline const QString kTooManyRecipients = QStringLiteral("Too many recipients");
inline const QString kUnsafeAddress = QStringLiteral(
    "Invalid character (control character or angle bracket) in a sender or recipient address");
inline const QString kNonAsciiAddress
    = QStringLiteral("Invalid character (outside ASCII) in a sender or recipient address");
inline const QString kUnsafeFileName = QStringLiteral(
    "Invalid character (line break or control character) in an attached file name");
inline const QString kSocketNotOpen = QStringLiteral("Socket not Open");
} // namespace errortext

} // namespace vessamo::mail
