// libFuzzer target for the error a server sends after refusing an OAuth token: any bytes as
// the JSON of XOAUTH2 and OAUTHBEARER. The reader never fails outright; the explanation it
// gives for the log is bounded and holds no control character; the mechanisms answer the
// challenge as their protocols require and refuse whatever comes after it.
#include "fuzzcheck.h"
#include "mail/sasl_oauth.h"
#include "mail/saslmechanisms.h"

using namespace vessamo::mail;

namespace {

void checkText(const QString &text)
{
    check(text.size() < 1000);
    for (const QChar c : text)
        check(c.category() != QChar::Other_Control);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const OAuthError error = parseOAuthError(input);
    check(error.readable == !error.status.isEmpty());
    checkText(describeOAuthError(error));

    SaslCredentials credentials;
    credentials.user = QStringLiteral("user@example.com");
    credentials.accessToken = QStringLiteral("ya29.token");
    for (const char *name : {"XOAUTH2", "OAUTHBEARER"}) {
        SaslMade made = makeMechanism(name, credentials);
        check(made.mechanism != nullptr);
        SaslMechanism &mechanism = *made.mechanism;
        check(mechanism.initialResponse().has_value());
        const SaslStep answer = mechanism.step(input);
        check(answer.ok() && answer.response == (qstrcmp(name, "XOAUTH2") == 0 ? "" : "\x01"));
        checkText(mechanism.serverReason());
        check(!mechanism.step(input).ok());
        check(!mechanism.verifySuccess(std::nullopt).ok());
    }
    return 0;
}
