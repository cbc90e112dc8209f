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

// The mechanism of that name (any case). `clientNonce` is SCRAM's nonce: left empty, it is
// drawn from the system's cryptographic random source (tests give a fixed one).
SaslMade makeMechanism(const QByteArray &name, const SaslCredentials &credentials,
                       const QByteArray &clientNonce = QByteArray());

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

// --- Parsers, pure, exposed for the tests and the fuzz targets --------------------------------

// Iteration counts SCRAM accepts: a server may not make the client burn minutes of processor
// time (the count is the server's to choose, and the derivation runs in this thread).
inline constexpr int kScramMinIterations = 1;
inline constexpr int kScramMaxIterations = 1000000;

struct ScramServerFirst
{
    QByteArray nonce; // the client's nonce followed by the server's
    QByteArray salt; // decoded
    int iterations = 0;
};

struct ScramServerFirstParsed
{
    ScramServerFirst value;
    QString failure;
    bool ok() const { return failure.isEmpty(); }
};

// server-first-message (RFC 5802 section 7): "r=nonce,s=salt,i=count" and optional
// extensions; a mandatory extension ("m=") and anything out of this shape are refused.
ScramServerFirstParsed parseScramServerFirst(const QByteArray &message);

struct ScramServerFinal
{
    QByteArray verifier; // the decoded server signature ("v="), or
    QByteArray error; // the server's error ("e="), as the server wrote it
};

struct ScramServerFinalParsed
{
    ScramServerFinal value;
    QString failure;
    bool ok() const { return failure.isEmpty(); }
};

// server-final-message: "v=signature" or "e=error", optional extensions after either.
ScramServerFinalParsed parseScramServerFinal(const QByteArray &message);

// The error a server sends as the challenge after a refused XOAUTH2 or OAUTHBEARER token
// (RFC 7628 section 3.2.2; Google's XOAUTH2 the same): a JSON object.
struct OAuthError
{
    QString status;
    QString scope;
    bool readable = false; // false: not a JSON object with a status
};

OAuthError parseOAuthError(const QByteArray &json);

// The explanation for the log: "status invalid_token, scope https://..." with the server's
// text cut short and stripped of control characters.
QString describeOAuthError(const OAuthError &error);

// SASLprep (RFC 4013) of a user name or password, as a query (RFC 5802 section 2.2): spaces
// beyond ASCII become spaces, the characters "commonly mapped to nothing" go, the result is
// NFKC-normalized (Unicode 3.2); prohibited characters and mixed-direction text are refused,
// never dropped. The failure says what kind of character, never which one.
struct SaslPrepared
{
    QString text;
    QString failure; // "holds a control character", to follow "The password "
    bool ok() const { return failure.isEmpty(); }
};

SaslPrepared saslPrep(const QString &text);

} // namespace vessamo::mail
