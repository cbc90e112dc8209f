// The SASL mechanisms against the published examples byte for byte (SCRAM-SHA-1, SCRAM-SHA-256,
// CRAM-MD5), the exact messages of the others, every way a SCRAM server can be wrong,
// SASLprep, and the rule that chooses a mechanism.
#include "mail/sasl.h"
#include "mail/sasl_scram.h"
#include "mail/saslmechanisms.h"
#include "mail/saslprep.h"
#include "support/pycheck.h"

#include <gtest/gtest.h>

using namespace vessamo::mail;
using vessamo::test::runPython;
using namespace Qt::StringLiterals;

namespace {

SaslCredentials password(const QString &user, const QString &secret)
{
    SaslCredentials credentials;
    credentials.user = user;
    credentials.password = secret;
    return credentials;
}

SaslCredentials token(const QString &user, const QString &accessToken)
{
    SaslCredentials credentials;
    credentials.user = user;
    credentials.accessToken = accessToken;
    return credentials;
}

std::unique_ptr<SaslMechanism> make(const QByteArray &name, const SaslCredentials &credentials,
                                    const QByteArray &nonce = QByteArray())
{
    SaslMade made = makeMechanism(name, credentials, nonce);
    EXPECT_TRUE(made.failure.isEmpty()) << made.failure.toStdString();
    return std::move(made.mechanism);
}

struct ScramExample
{
    QByteArray mechanism;
    QByteArray nonce;
    QByteArray serverFirst;
    QByteArray clientFinal;
    QByteArray serverFinal;
};

// RFC 5802 section 5 and RFC 7677 section 3: user "user", password "pencil".
const ScramExample kScramExamples[] = {
    {"SCRAM-SHA-1", "fyko+d2lbbFgONRv9qkxdawL",
     "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
     "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
     "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="},
    {"SCRAM-SHA-256", "rOprNGfwEbeRWgbNEkqO",
     "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
     "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
     "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
     "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="},
};

// A SCRAM mechanism of the example, after the server's first message.
std::unique_ptr<SaslMechanism> scramAfterFirst(const ScramExample &example)
{
    auto mechanism = make(example.mechanism, password(u"user"_s, u"pencil"_s), example.nonce);
    mechanism->initialResponse();
    const SaslStep final = mechanism->step(example.serverFirst);
    EXPECT_TRUE(final.ok()) << final.failure.toStdString();
    return mechanism;
}

} // namespace

TEST(SaslScram, PublishedExamplesByteForByte)
{
    for (const ScramExample &example : kScramExamples) {
        SCOPED_TRACE(example.mechanism.toStdString());
        auto mechanism = make(example.mechanism, password(u"user"_s, u"pencil"_s), example.nonce);
        EXPECT_EQ(mechanism->name(), example.mechanism);
        EXPECT_EQ(mechanism->initialResponse(), "n,,n=user,r=" + example.nonce);
        SaslStep step = mechanism->step(example.serverFirst);
        ASSERT_TRUE(step.ok()) << step.failure.toStdString();
        EXPECT_EQ(step.response, example.clientFinal);
        step = mechanism->step(example.serverFinal);
        ASSERT_TRUE(step.ok()) << step.failure.toStdString();
        EXPECT_EQ(step.response, QByteArray());
        EXPECT_TRUE(mechanism->verifySuccess(std::nullopt).ok());

        // The server's signature as additional data with the success (RFC 4422 3.6).
        mechanism = scramAfterFirst(example);
        EXPECT_TRUE(mechanism->verifySuccess(example.serverFinal).ok());

        // Without SASL-IR the server's empty challenge asks for the first message.
        mechanism = make(example.mechanism, password(u"user"_s, u"pencil"_s), example.nonce);
        EXPECT_EQ(mechanism->step(QByteArray()).response, "n,,n=user,r=" + example.nonce);
    }
}

// A server written in Python with hashlib and hmac: it reads the three client and server
// messages, checks the client's proof against the password it was given (already prepared)
// and prints its own signature message.
constexpr const char *kScramServer = R"(
import base64, hashlib, hmac, sys
algorithm, password = sys.argv[1], sys.argv[2].encode()
client_first, server_first, client_final = sys.stdin.buffer.read().split(b"\n")
attrs = dict(a.split(b"=", 1) for a in server_first.split(b","))
salted = hashlib.pbkdf2_hmac(algorithm, password, base64.b64decode(attrs[b"s"]), int(attrs[b"i"]))
h = lambda key, msg: hmac.new(key, msg, algorithm).digest()
without_proof, proof = client_final.rsplit(b",p=", 1)
auth = client_first[3:] + b"," + server_first + b"," + without_proof
client_key = h(salted, b"Client Key")
signature = h(hashlib.new(algorithm, client_key).digest(), auth)
expected = bytes(a ^ b for a, b in zip(client_key, signature))
if base64.b64decode(proof) != expected or without_proof != b"c=biws,r=" + attrs[b"r"]:
    sys.exit("wrong proof")
sys.stdout.buffer.write(b"v=" + base64.b64encode(h(h(salted, b"Server Key"), auth)))
)";

TEST(SaslScram, AgainstAnIndependentServer)
{
    const struct
    {
        QByteArray mechanism;
        const char *algorithm;
        QString user;
        QString password;
        QString prepared; // what the server stores
        QByteArray serverFirst;
    } rows[] = {
        {"SCRAM-SHA-1", "sha1", u"us,er=x"_s, u"p\u00E4ssw\u00F6rd"_s, u"p\u00E4ssw\u00F6rd"_s,
         "r=cnonce4711+srv/nonce,s=c2FsdHNhbHQ=,i=4096"},
        {"SCRAM-SHA-256", "sha256", u"user"_s, u"pen\u00A0cil\u00AD"_s, u"pen cil"_s,
         "r=cnonce4711%server,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=10000,x=ext"},
        {"SCRAM-SHA-256", "sha256", u"user"_s, u"\u2168 a\u0301"_s, u"IX \u00E1"_s,
         "r=cnonce4711xyz,s=AAECAwQFBgcICQ==,i=1"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.serverFirst.toStdString());
        auto mechanism = make(row.mechanism, password(row.user, row.password), "cnonce4711");
        const QByteArray clientFirst = *mechanism->initialResponse();
        const SaslStep final = mechanism->step(row.serverFirst);
        ASSERT_TRUE(final.ok()) << final.failure.toStdString();
        const auto server
            = runPython(kScramServer, clientFirst + '\n' + row.serverFirst + '\n' + final.response,
                        {QString::fromLatin1(row.algorithm), row.prepared});
        ASSERT_EQ(server.status, 0) << server.out.toStdString();
        EXPECT_TRUE(mechanism->step(server.out).ok());
        EXPECT_TRUE(mechanism->verifySuccess(std::nullopt).ok());
    }
}

TEST(SaslScram, ServersThatAreWrongAreRefused)
{
    const ScramExample &sha1 = kScramExamples[0];
    const ScramExample &sha256 = kScramExamples[1];
    struct Row
    {
        const char *why;
        const ScramExample &example;
        QByteArray serverFinal; // empty: the server reports success without it
        const char *failure;
    };
    const Row rows[] = {
        {"the other hash's signature", sha1, sha256.serverFinal, "signature is wrong"},
        {"one bit off", sha1, "v=rmF9pqV8S7suAoZWja4dJRkFsKA=", "signature is wrong"},
        {"signature cut short", sha256,
         "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95A==", "signature is wrong"},
        {"server error", sha256, "e=invalid-proof",
         "refused the SCRAM-SHA-256 login: invalid-proof"},
        {"not base64", sha1, "v=rmF9pqV8S7suAoZWja4dJRkFsKQ", "malformed"},
        {"no attribute", sha1, "rmF9pqV8S7suAoZWja4dJRkFsKQ=", "malformed"},
        {"success without a signature", sha1, "", "without proving"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        auto mechanism = scramAfterFirst(row.example);
        const SaslStep step = row.serverFinal.isEmpty() ? mechanism->verifySuccess(std::nullopt)
                                                        : mechanism->step(row.serverFinal);
        EXPECT_FALSE(step.ok());
        EXPECT_TRUE(step.failure.contains(QLatin1String(row.failure)))
            << step.failure.toStdString();
        // Nothing that follows makes it a success.
        EXPECT_FALSE(mechanism->verifySuccess(std::nullopt).ok());
        EXPECT_FALSE(mechanism->verifySuccess(row.example.serverFinal).ok());
    }
    // A wrong signature as additional data with the success.
    auto mechanism = scramAfterFirst(sha1);
    EXPECT_FALSE(mechanism->verifySuccess(sha256.serverFinal).ok());
    // A second server-final after the verified one.
    mechanism = scramAfterFirst(sha1);
    EXPECT_TRUE(mechanism->step(sha1.serverFinal).ok());
    EXPECT_FALSE(mechanism->step(sha1.serverFinal).ok());
    // The server speaking first.
    mechanism = make("SCRAM-SHA-1", password(u"user"_s, u"pencil"_s), sha1.nonce);
    EXPECT_FALSE(mechanism->step(sha1.serverFirst).ok());
}

TEST(SaslScram, ServerFirstMessagesRefused)
{
    const QByteArray nonce = "fyko+d2lbbFgONRv9qkxdawL";
    const struct
    {
        QByteArray message;
        const char *failure;
    } rows[] = {
        // The nonce must start with ours and add the server's part.
        {"r=XXXX+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096", "nonce"},
        {"r=fyko+d2lbbFgONRv9qkxdawL,s=QSXCR+Q6sek8bf92,i=4096", "nonce"},
        {"r=3rfcNHYJY1ZVvWVs7jfyko+d2lbbFgONRv9qkxdawL,s=QSXCR+Q6sek8bf92,i=4096", "nonce"},
        // Iteration counts that are none, or would keep the thread busy for minutes.
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=0", "iterations"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=1000001", "iterations"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4294967297", "iterations"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=99999999999999999999999", "iterations"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=-1", "not a number"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=", "not a number"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4096x", "not a number"},
        // Missing, reordered or unknown attributes.
        {"", "malformed"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92", "malformed"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,i=4096", "malformed"},
        {"s=QSXCR+Q6sek8bf92,r=fyko+d2lbbFgONRv9qkxdawLx,i=4096", "malformed"},
        {"m=must,r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4096", "extension"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4096,", "extension"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf92,i=4096,garbage", "extension"},
        // Salt and nonce out of their alphabets.
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR+Q6sek8bf9,i=4096", "salt"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=QSXCR*Q6sek8bf92,i=4096", "salt"},
        {"r=fyko+d2lbbFgONRv9qkxdawLx,s=,i=4096", "salt"},
        {"r=fyko+d2lbbFgONRv9qkxdawL\x7f,s=QSXCR+Q6sek8bf92,i=4096", "nonce"},
        {"r=fyko+d2lbbFgONRv9qkxdawL x,s=QSXCR+Q6sek8bf92,i=4096", "nonce"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message.toStdString());
        auto mechanism = make("SCRAM-SHA-1", password(u"user"_s, u"pencil"_s), nonce);
        mechanism->initialResponse();
        const SaslStep step = mechanism->step(row.message);
        EXPECT_FALSE(step.ok());
        EXPECT_TRUE(step.failure.contains(QLatin1String(row.failure)))
            << step.failure.toStdString();
        EXPECT_FALSE(mechanism->verifySuccess(std::nullopt).ok());
    }

    // What is accepted: the lowest count, an optional extension, the highest count.
    const ScramServerFirstParsed low = parseScramServerFirst("r=ab,s=QSXCR+Q6sek8bf92,i=1,x=y");
    ASSERT_TRUE(low.ok()) << low.failure.toStdString();
    EXPECT_EQ(low.value.nonce, "ab");
    EXPECT_EQ(low.value.salt, QByteArray::fromBase64("QSXCR+Q6sek8bf92"));
    EXPECT_EQ(low.value.iterations, 1);
    EXPECT_EQ(parseScramServerFirst("r=ab,s=QSXCR+Q6sek8bf92,i=1000000").value.iterations, 1000000);
}

TEST(SaslScram, NamesAndNonces)
{
    // "," and "=" in the user name are escaped; SASLprep applies to the user name.
    auto mechanism = make("scram-sha-256", password(u"a,b=c\u00ADd"_s, u"pencil"_s), "abc");
    EXPECT_EQ(mechanism->initialResponse(), "n,,n=a=2Cb=3Dcd,r=abc");

    // A fresh nonce each time, 24 characters of Base64, from the system's random source.
    auto one = make("SCRAM-SHA-1", password(u"user"_s, u"pencil"_s));
    auto two = make("SCRAM-SHA-1", password(u"user"_s, u"pencil"_s));
    const QByteArray first = *one->initialResponse();
    EXPECT_NE(first, *two->initialResponse());
    EXPECT_EQ(first.size(), QByteArray("n,,n=user,r=").size() + 24) << first.toStdString();

    // A password SASLprep refuses is reported without being shown.
    const SaslMade made = makeMechanism("SCRAM-SHA-256", password(u"user"_s, u"pen\u0007cil"_s));
    EXPECT_FALSE(made.mechanism);
    EXPECT_EQ(made.failure,
              u"The password holds a control character, which SCRAM-SHA-256 cannot send"_s);
}

TEST(SaslPrep, MappingsAndProhibitions)
{
    const struct
    {
        QString input;
        QString output; // empty: refused
        const char *failure;
    } rows[] = {
        // RFC 4013 section 3.
        {u"I\u00ADX"_s, u"IX"_s, ""},
        {u"user"_s, u"user"_s, ""},
        {u"USER"_s, u"USER"_s, ""},
        {u"\u00AA"_s, u"a"_s, ""},
        {u"\u2168"_s, u"IX"_s, ""},
        {u"\u0007"_s, QString(), "control"},
        {u"\u0627\u0031"_s, QString(), "right-to-left"},
        // Beyond ASCII: spaces become spaces; joiners and selectors go.
        {u"pen\u00A0cil\u3000x"_s, u"pen cil x"_s, ""},
        {u"a\u200Db\uFE0Fc\u2060"_s, u"abc"_s, ""},
        {u"cafe\u0301"_s, u"caf\u00E9"_s, ""},
        {u"\u0627\u0628"_s, u"\u0627\u0628"_s, ""},
        {u"a\u0085b"_s, QString(), "control"},
        {u"a\uE000"_s, QString(), "private-use"},
        {u"a\uFDD0"_s, QString(), "non-character"},
        {u"a\u202Eb"_s, QString(), "SASLprep prohibits"},
        {QString(QChar(0xD800)), QString(), "surrogate"},
        {QString::fromUcs4(U"a\U000E0041"), QString(), "SASLprep prohibits"},
        {u"\u00AD"_s, QString(), "is empty"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input.toStdString());
        const SaslPrepared prepared = saslPrep(row.input);
        EXPECT_EQ(prepared.text, row.output);
        EXPECT_EQ(prepared.ok(), !row.output.isEmpty());
        EXPECT_TRUE(prepared.failure.contains(QLatin1String(row.failure)))
            << prepared.failure.toStdString();
    }
}

TEST(SaslMechanisms, ExactMessages)
{
    // RFC 2195 section 2.
    auto cram = make("CRAM-MD5", password(u"tim"_s, u"tanstaaftanstaaf"_s));
    EXPECT_EQ(cram->initialResponse(), std::nullopt);
    EXPECT_EQ(cram->step("<1896.697170952@postoffice.reston.mci.net>").response,
              "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_FALSE(cram->step("<again@host>").ok());
    EXPECT_FALSE(make("CRAM-MD5", password(u"tim"_s, u"x"_s))->step(QByteArray()).ok());

    auto plain = make("plain", password(u"jos\u00E9"_s, u"s\u00E8cret"_s));
    EXPECT_EQ(plain->name(), "PLAIN");
    EXPECT_EQ(plain->initialResponse(),
              QByteArray("\0jos\xC3\xA9\0s\xC3\xA8"
                         "cret",
                         14));
    EXPECT_FALSE(plain->step(QByteArray()).ok());
    EXPECT_EQ(make("PLAIN", password(u"u"_s, u"p"_s))->step(QByteArray()).response,
              QByteArray("\0u\0p", 4));

    // LOGIN answers by step whatever the challenge says, in Windows-1252 as before.
    auto login = make("LOGIN", password(u"jos\u00E9"_s, u"p\u20AC"_s));
    EXPECT_EQ(login->initialResponse(), std::nullopt);
    EXPECT_EQ(login->step("Benutzername:").response, "jos\xE9");
    EXPECT_EQ(login->step("Username:").response, "p\x80");
    EXPECT_FALSE(login->step("Password:").ok());

    auto xoauth2 = make(
        "XOAUTH2",
        token(u"someuser@example.com"_s, u"ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"_s));
    EXPECT_EQ(xoauth2->initialResponse(),
              "user=someuser@example.com\x01"
              "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01");

    // RFC 7628 section 4.1, and the same without the optional keys.
    SaslCredentials bearer
        = token(u"user@example.com"_s, u"vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="_s);
    bearer.host = u"server.example.com"_s;
    bearer.port = 143;
    EXPECT_EQ(make("OAUTHBEARER", bearer)->initialResponse(),
              "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
              "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
    EXPECT_EQ(make("OAUTHBEARER", token(u"a,b=c"_s, u"t"_s))->step(QByteArray()).response,
              "n,a=a=2Cb=3Dc,\x01"
              "auth=Bearer t\x01\x01");
    EXPECT_EQ(make("OAUTHBEARER", token(QString(), u"t"_s))->initialResponse(),
              "n,,\x01"
              "auth=Bearer t\x01\x01");

    // Mechanisms without server data take a plain success, and refuse data with one.
    EXPECT_TRUE(make("PLAIN", password(u"u"_s, u"p"_s))->verifySuccess(std::nullopt).ok());
    EXPECT_FALSE(make("PLAIN", password(u"u"_s, u"p"_s))->verifySuccess("data").ok());
}

TEST(SaslMechanisms, OAuthErrorChallenge)
{
    const struct
    {
        QByteArray mechanism;
        QByteArray json;
        QByteArray answer;
        QString reason;
    } rows[] = {
        {"XOAUTH2", R"({"status":"400","schemes":"Bearer","scope":"https://mail.google.com/"})", "",
         u"The server refused the access token (status 400, scope https://mail.google.com/)"_s},
        {"OAUTHBEARER",
         R"({"status":"invalid_token","scope":"example_scope","openid-configuration":"x"})", "\x01",
         u"The server refused the access token (status invalid_token, scope example_scope)"_s},
        {"OAUTHBEARER", R"({"status":401})", "\x01",
         u"The server refused the access token (status 401)"_s},
        {"XOAUTH2", R"({"status":"bad\r\nline"})", "",
         u"The server refused the access token (status bad??line)"_s},
        {"XOAUTH2", "not json", "",
         u"The server refused the access token (its explanation could not be read)"_s},
        {"OAUTHBEARER", R"(["status","x"])", "\x01",
         u"The server refused the access token (its explanation could not be read)"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json.toStdString());
        auto mechanism = make(row.mechanism, token(u"u@example.com"_s, u"secret-token"_s));
        mechanism->initialResponse();
        const SaslStep answer = mechanism->step(row.json);
        ASSERT_TRUE(answer.ok());
        EXPECT_EQ(answer.response, row.answer);
        EXPECT_EQ(mechanism->serverReason(), row.reason);
        EXPECT_FALSE(mechanism->step(row.json).ok());
        EXPECT_FALSE(mechanism->verifySuccess(std::nullopt).ok());
    }
}

TEST(SaslMechanisms, CredentialsRefusedWithoutShowingThem)
{
    const struct
    {
        QByteArray mechanism;
        SaslCredentials credentials;
        const char *failure;
    } rows[] = {
        {"PLAIN", password(u"u\0x"_s, u"secret"_s), "user name holds a NUL"},
        {"PLAIN", password(u"u"_s, u"sec\0ret"_s), "password holds a NUL"},
        {"PLAIN", password(u"u"_s, QString()), "empty password"},
        {"PLAIN", password(QString(), u"secret"_s), "empty user name"},
        {"SCRAM-SHA-1", password(u"u"_s, u"sec\uE000ret"_s), "password holds a private-use"},
        {"SCRAM-SHA-1", password(u"u"_s, QString()), "password is empty"},
        {"SCRAM-SHA-1", password(u"u\u0001"_s, u"secret"_s), "user name holds a control"},
        {"XOAUTH2", token(u"u"_s, QString()), "needs an access token"},
        {"XOAUTH2", token(u"u"_s, u"secret token"_s), "cannot hold"},
        {"XOAUTH2", token(u"u"_s, u"secret\x01token"_s), "cannot hold"},
        {"XOAUTH2", token(u"u"_s, u"secret=token"_s), "cannot hold"},
        {"XOAUTH2", token(QString(), u"secret"_s), "empty user name"},
        {"OAUTHBEARER", token(u"u\x01"_s, u"secret"_s), "user name holds a control"},
        {"DIGEST-MD5", password(u"u"_s, u"secret"_s), "Unknown authentication mechanism"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.failure);
        const SaslMade made = makeMechanism(row.mechanism, row.credentials);
        EXPECT_FALSE(made.mechanism);
        EXPECT_TRUE(made.failure.contains(QLatin1String(row.failure)))
            << made.failure.toStdString();
        EXPECT_FALSE(made.failure.contains(u"secret"_s)) << made.failure.toStdString();
    }
}

TEST(SaslChoice, StrongestOfferedAndNeverASecretInClear)
{
    const QByteArrayList all
        = {"LOGIN", "PLAIN", "CRAM-MD5", "SCRAM-SHA-1", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER"};
    const struct
    {
        QByteArrayList offered;
        const char *choice;
        bool tls;
        bool token;
        QByteArray chosen; // empty: refused
        const char *failure;
    } rows[] = {
        {all, "auto", false, false, "SCRAM-SHA-256", ""},
        {{"plain", "scram-sha-1", "cram-md5"}, "AUTO", false, false, "SCRAM-SHA-1", ""},
        {{"LOGIN", "PLAIN", "CRAM-MD5"}, "auto", false, false, "CRAM-MD5", ""},
        {{"LOGIN", "PLAIN"}, "auto", true, false, "PLAIN", ""},
        {{"LOGIN"}, "auto", true, false, "LOGIN", ""},
        // In clear text auto never sends the password itself...
        {{"LOGIN", "PLAIN"}, "auto", false, false, "", "clear text"},
        {{"LOGIN"}, "auto", false, false, "", "clear text"},
        // ...unless the site named the mechanism.
        {{"LOGIN", "PLAIN"}, "plain", false, false, "PLAIN", ""},
        {{"LOGIN"}, "LOGIN", false, false, "LOGIN", ""},
        // A named mechanism is required: no fall-back, stronger or weaker.
        {{"PLAIN", "SCRAM-SHA-1"},
         "SCRAM-SHA-256",
         true,
         false,
         "",
         "The server does not offer SCRAM-SHA-256 (it offers: PLAIN SCRAM-SHA-1)"},
        {{"SCRAM-SHA-256"}, "PLAIN", true, false, "", "does not offer PLAIN"},
        {{}, "auto", true, false, "", "(it offers: none)"},
        {{"GSSAPI", "NTLM"}, "auto", true, false, "", "no authentication mechanism"},
        {{"GSSAPI"}, "GSSAPI", true, false, "", "Unknown authentication mechanism: GSSAPI"},
        {all, "", true, false, "", "No authentication mechanism is configured"},
        // Tokens: OAUTHBEARER before XOAUTH2, only inside TLS, only with a token source.
        {all, "auto", true, true, "OAUTHBEARER", ""},
        {{"XOAUTH2", "PLAIN"}, "auto", true, true, "XOAUTH2", ""},
        {all, "auto", false, true, "", "never sent without TLS"},
        {{"PLAIN", "LOGIN"}, "auto", true, true, "", "neither OAUTHBEARER nor XOAUTH2"},
        {all, "XOAUTH2", false, true, "", "without TLS"},
        {all, "xoauth2", true, true, "XOAUTH2", ""},
        {all, "OAUTHBEARER", true, false, "", "no token source"},
        {{"PLAIN"}, "XOAUTH2", true, true, "", "does not offer XOAUTH2"},
        {all, "auto", true, false, "SCRAM-SHA-256", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(QString::fromUtf8(row.offered.join(' ') + " / " + row.choice).toStdString()
                     + (row.tls ? " tls" : " clear") + (row.token ? " token" : ""));
        const SaslChoice choice
            = chooseMechanism(row.offered, QString::fromLatin1(row.choice), row.tls, row.token);
        EXPECT_EQ(choice.mechanism, row.chosen);
        EXPECT_EQ(choice.ok(), !row.chosen.isEmpty());
        EXPECT_TRUE(choice.failure.contains(QLatin1String(row.failure)))
            << choice.failure.toStdString();
    }
}

TEST(SaslWire, CodingHelpers)
{
    EXPECT_EQ(parseOfferedMechanisms(" plain  LOGIN\tcram-md5 "),
              QByteArrayList({"PLAIN", "LOGIN", "CRAM-MD5"}));
    EXPECT_EQ(encodeInitialResponse(QByteArray()), "=");
    EXPECT_EQ(encodeResponse(QByteArray()), "");
    EXPECT_EQ(encodeInitialResponse(QByteArray("\0u\0p", 4)), "AHUAcA==");
    EXPECT_EQ(decodeChallenge(" VXNlcm5hbWU6 "), QByteArray("Username:"));
    EXPECT_EQ(decodeChallenge(""), QByteArray(""));
    EXPECT_EQ(decodeChallenge("VXNlc*5hbWU6"), std::nullopt);
}
