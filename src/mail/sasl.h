// SASL client mechanisms (RFC 4422) for the logins of POP3 (AUTH, RFC 5034) and SMTP (AUTH,
// RFC 4954): PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256, XOAUTH2 and OAUTHBEARER.
// A mechanism is a small state machine over decoded bytes: the session asks it for the
// initial response (if any), hands it each challenge the server sends and, when the server
// reports success, asks it to verify that success. The Base64 of the wire, the cancel line
// and the protocol's commands stay with the session; the helpers below do the coding.
// Every failure is a text for the person reading the log; none ever holds a password or token.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <memory>
#include <optional>

namespace vessamo::mail {

// What a login may use. The password serves PLAIN, LOGIN, CRAM-MD5 and SCRAM; the access
// token XOAUTH2 and OAUTHBEARER. Host and port are OAUTHBEARER's optional keys (RFC 7628
// section 3.1): sent when not empty / not zero.
struct SaslCredentials
{
    QString user;
    QString password;
    QString accessToken;
    QString host;
    quint16 port = 0;
};

// One move of the client: the bytes to send (possibly none), or a failure. On failure the
// session cancels the exchange ("*") and reports the text.
struct SaslStep
{
    QByteArray response;
    QString failure;

    bool ok() const { return failure.isEmpty(); }
    static SaslStep respond(const QByteArray &bytes) { return {bytes, QString()}; }
    static SaslStep fail(const QString &why) { return {QByteArray(), why}; }
};

class SaslMechanism
{
public:
    virtual ~SaslMechanism() = default;

    // The name as sent in the AUTH command, upper case ("SCRAM-SHA-256").
    virtual QByteArray name() const = 0;

    // The response the client speaks first (RFC 4422 section 5, "initial response"), to send
    // with the AUTH command; none for the mechanisms where the server speaks first. A session
    // that does not send it waits for the server's empty challenge instead: the first step()
    // with an empty challenge then gives the same bytes.
    virtual std::optional<QByteArray> initialResponse() = 0;

    // The answer to one challenge, already decoded from Base64.
    virtual SaslStep step(const QByteArray &challenge) = 0;

    // The server reported success, with the additional data of RFC 4422 section 3.6 where the
    // protocol carries some. SCRAM accepts only a success whose server signature it has
    // verified; the others accept any success without data.
    virtual SaslStep verifySuccess(const std::optional<QByteArray> &additionalData);

    // After a refused login: what the server said about why, when the mechanism carries such
    // an explanation (the OAuth error status and scope); empty otherwise.
    QString serverReason() const { return serverReason_; }

protected:
    QString serverReason_;
};

// A mechanism ready to run, or why it cannot run with these credentials.
struct SaslMade
{
    std::unique_ptr<SaslMechanism> mechanism;
    QString failure;
};

// The mechanism a login uses, or why there is none.
struct SaslChoice
{
    QByteArray mechanism;
    QString failure;
    bool ok() const { return failure.isEmpty(); }
};

// The choice for `offered` (the server's list, any case) and the configured `choice`:
// "auto" or a mechanism's name (any case). "auto" picks the strongest offered mechanism:
// with a token source, OAUTHBEARER then XOAUTH2; otherwise SCRAM-SHA-256, SCRAM-SHA-1,
// CRAM-MD5, then PLAIN and LOGIN, these two only inside TLS. A named mechanism is required:
// a server that does not offer it is a failure, never a fall-back to another. An access token
// never goes out without TLS, named or not.
SaslChoice chooseMechanism(const QByteArrayList &offered, const QString &choice, bool inTls,
                           bool hasToken);

// The mechanisms this code implements, strongest first.
QByteArrayList supportedMechanisms();

// --- Wire coding ----------------------------------------------------------------------------

// The words of an EHLO "AUTH" line or a CAPA "SASL" line (without the keyword), upper case.
QByteArrayList parseOfferedMechanisms(const QByteArray &words);

// A response as the session sends it: Base64. An initial response that is empty is sent as
// "=" (RFC 4954 section 4, RFC 5034 section 4), so that it differs from none.
QByteArray encodeResponse(const QByteArray &bytes);
QByteArray encodeInitialResponse(const QByteArray &bytes);

// The text after "334 " or "+ ", without its line end: strict Base64 (blanks around it
// ignored); nothing for text that is not Base64.
std::optional<QByteArray> decodeChallenge(const QByteArray &text);

// The line that cancels an exchange (RFC 4422 section 3.5).
inline constexpr char kSaslCancel[] = "*";

// --- For the mechanisms' own files --------------------------------------------------------

namespace sasl {

inline const QByteArray kPlain = QByteArrayLiteral("PLAIN");
inline const QByteArray kLogin = QByteArrayLiteral("LOGIN");
inline const QByteArray kCramMd5 = QByteArrayLiteral("CRAM-MD5");
inline const QByteArray kScramSha1 = QByteArrayLiteral("SCRAM-SHA-1");
inline const QByteArray kScramSha256 = QByteArrayLiteral("SCRAM-SHA-256");
inline const QByteArray kXOAuth2 = QByteArrayLiteral("XOAUTH2");
inline const QByteArray kOAuthBearer = QByteArrayLiteral("OAUTHBEARER");

// A server's text fit for the log: control characters become "?", and it is cut at `limit`.
QString printable(const QByteArray &serverText, qsizetype limit = 200);

// A name in a SCRAM or gs2 header (saslname, RFC 5802 section 5.1): "," and "=" are written
// "=2C" and "=3D".
QByteArray escapeSaslName(const QByteArray &name);

// An exchange that went on after it should have ended.
QString unexpectedChallenge(const QByteArray &mechanism);

} // namespace sasl

} // namespace vessamo::mail
