// libFuzzer target for SCRAM's server messages. The input is a hash choice ("1" SCRAM-SHA-1,
// anything else SCRAM-SHA-256), a server-first message, LF, a server-final message. The
// parsers take any bytes; what they accept has the shape the protocol allows and reads back
// the same when written out again. A client runs the exchange with them: the first step
// succeeds exactly when the message is well formed and extends the client's nonce, and the
// login counts as verified only after a server-final message it accepted. The same bytes go
// through SASLprep as UTF-8.
#include "fuzzcheck.h"
#include "mail/sasl.h"
#include "mail/sasl_scram.h"
#include "mail/saslmechanisms.h"
#include "mail/saslprep.h"

using namespace vessamo::mail;

namespace {

// Derivations are slow under the sanitizers: larger counts are parsed, not run.
constexpr int kRunnableIterations = 4096;

void checkServerFirst(const QByteArray &message)
{
    const ScramServerFirstParsed parsed = parseScramServerFirst(message);
    if (!parsed.ok())
        return;
    const ScramServerFirst &first = parsed.value;
    check(!first.nonce.isEmpty() && !first.nonce.contains(',') && !first.salt.isEmpty());
    for (const char c : first.nonce)
        check(c > 0x20 && c < 0x7f);
    check(first.iterations >= kScramMinIterations && first.iterations <= kScramMaxIterations);
    const ScramServerFirstParsed again
        = parseScramServerFirst("r=" + first.nonce + ",s=" + first.salt.toBase64()
                                + ",i=" + QByteArray::number(first.iterations));
    check(again.ok() && again.value.nonce == first.nonce && again.value.salt == first.salt
          && again.value.iterations == first.iterations);
}

void checkServerFinal(const QByteArray &message)
{
    const ScramServerFinalParsed parsed = parseScramServerFinal(message);
    if (!parsed.ok())
        return;
    check(parsed.value.verifier.isEmpty() != parsed.value.error.isEmpty());
    if (!parsed.value.verifier.isEmpty()) {
        const ScramServerFinalParsed again
            = parseScramServerFinal("v=" + parsed.value.verifier.toBase64());
        check(again.ok() && again.value.verifier == parsed.value.verifier);
    }
}

// What SASLprep lets through is not empty and holds no control character.
void checkPrepared(const QByteArray &input)
{
    const SaslPrepared prepared = saslPrep(QString::fromUtf8(input));
    if (!prepared.ok()) {
        check(prepared.text.isEmpty());
        return;
    }
    check(!prepared.text.isEmpty());
    for (const QChar c : prepared.text)
        check(c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool sha1 = input.startsWith('1');
    const QByteArray body = input.mid(1);
    const qsizetype lf = body.indexOf('\n');
    const QByteArray first = lf < 0 ? body : body.left(lf);
    const QByteArray final = lf < 0 ? QByteArray() : body.mid(lf + 1);
    checkServerFirst(first);
    checkServerFinal(final);
    (void)decodeChallenge(input);
    checkPrepared(input);

    const ScramServerFirstParsed parsed = parseScramServerFirst(first);
    if (parsed.ok() && parsed.value.iterations > kRunnableIterations)
        return 0;
    // The nonces of the published examples, so that their messages make seeds.
    const QByteArray nonce = sha1 ? "fyko+d2lbbFgONRv9qkxdawL" : "rOprNGfwEbeRWgbNEkqO";
    SaslCredentials credentials;
    credentials.user = QStringLiteral("user");
    credentials.password = QStringLiteral("pencil");
    SaslMade made = makeMechanism(sha1 ? "SCRAM-SHA-1" : "SCRAM-SHA-256", credentials, nonce);
    check(made.mechanism != nullptr);
    SaslMechanism &mechanism = *made.mechanism;
    check(mechanism.initialResponse() == "n,,n=user,r=" + nonce);

    const SaslStep clientFinal = mechanism.step(first);
    const bool extends = parsed.ok() && parsed.value.nonce.startsWith(nonce)
        && parsed.value.nonce.size() > nonce.size();
    check(clientFinal.ok() == extends);
    if (!clientFinal.ok()) {
        check(!mechanism.verifySuccess(std::nullopt).ok());
        return 0;
    }
    check(clientFinal.response.startsWith("c=biws,r=" + parsed.value.nonce + ",p="));
    const SaslStep end = mechanism.step(final);
    check(!end.ok() || end.response.isEmpty());
    check(!end.ok() || parseScramServerFinal(final).value.error.isEmpty());
    check(mechanism.verifySuccess(std::nullopt).ok() == end.ok());
    return 0;
}
