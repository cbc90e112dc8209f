// libFuzzer target for the JSON the built-in OAuth 2.0 client reads: a token endpoint's
// answer (the first two bytes choose the HTTP status, the rest is the body) and a token
// store file (the whole input). Neither reader fails outright. A grant is taken only from a
// 2xx answer with a bearer token that can go on a login line; a refusal's text for the log
// is bounded and holds no control character. A store file is read only with what a refresh
// needs, and what is read writes back to a file that reads back the same.
#include "fuzzcheck.h"
#include "mail/oauth.h"
#include "mail/oauthstore.h"

using namespace vessamo::mail;

namespace {

bool printable(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

bool bearer(const QString &token)
{
    for (const QChar c : token) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    }
    return true;
}

void checkGrant(int status, const QByteArray &body)
{
    const TokenGrant grant = parseTokenAnswer(status, body);
    if (grant.ok()) {
        check(status >= 200 && status <= 299);
        check(!grant.accessToken.isEmpty() && bearer(grant.accessToken));
        check(bearer(grant.refreshToken));
        check(grant.expiresIn >= 0 && grant.expiresIn <= 1000000000);
        check(grant.errorCode.isEmpty());
    } else {
        check(grant.accessToken.isEmpty() && grant.refreshToken.isEmpty());
        check(grant.error.size() < 1000 && printable(grant.error));
    }
}

void checkStore(const QByteArray &bytes)
{
    const QString name = QStringLiteral("ana@example.org");
    const StoredAccount read = TokenStore::parse(name, bytes);
    check(read.account.has_value() == read.error.isEmpty());
    if (!read.account) {
        check(read.error.startsWith(
            QStringLiteral("the token file of account 'ana@example.org' is damaged: ")));
        return;
    }
    const OAuthAccount &a = *read.account;
    check(a.name == name);
    check(!a.tokenUrl.isEmpty() && !a.clientId.isEmpty() && !a.refreshToken.isEmpty());
    // Written and read again, the file is stable: nothing read is lost or altered on the
    // next write (an expiry keeps its second, in UTC).
    const QByteArray written = TokenStore::serialise(a);
    const StoredAccount again = TokenStore::parse(name, written);
    check(again.account.has_value());
    const OAuthAccount &b = *again.account;
    check(b.provider == a.provider && b.authorizationUrl == a.authorizationUrl
          && b.deviceAuthorizationUrl == a.deviceAuthorizationUrl && b.tokenUrl == a.tokenUrl
          && b.scope == a.scope && b.clientId == a.clientId && b.clientSecret == a.clientSecret
          && b.refreshToken == a.refreshToken && b.accessToken == a.accessToken);
    check(TokenStore::serialise(b) == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const int status = size >= 2 ? (data[0] << 8 | data[1]) % 600 : 200;
    checkGrant(status, input.mid(2));
    checkStore(input);
    return 0;
}
