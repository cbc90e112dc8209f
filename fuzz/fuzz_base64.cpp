// libFuzzer target for the Base64 coder: the decoder takes any text (a server's challenge),
// and what the encoder writes decodes to exactly the bytes encoded.
#include "fuzzcheck.h"
#include "mail/modcorreu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    // As one character per byte, then as UTF-8, so characters beyond Latin-1 come too.
    (void)vessamo::mail::Base64Decode(QString::fromLatin1(input));
    (void)vessamo::mail::Base64Decode(QString::fromUtf8(input));
    QByteArray padded = input; // the encoder pads its argument in place
    const QByteArray encoded = vessamo::mail::Base64Encode(padded);
    check(vessamo::mail::Base64DecodeBytes(QString::fromLatin1(encoded)) == input);
    return 0;
}
