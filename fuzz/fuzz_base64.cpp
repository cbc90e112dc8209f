// libFuzzer target for the Base64 coder: the decoder takes any text, and the encoder's
// output, in lines of 76 characters with CR LF, decodes to exactly the bytes encoded.
#include "mail/modcorreu.h"

#include <QByteArrayList>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    // As one character per byte, then as UTF-8, so characters beyond Latin-1 come too.
    (void)vessamo::mail::Base64Decode(QString::fromLatin1(input));
    (void)vessamo::mail::Base64Decode(QString::fromUtf8(input));

    QByteArray padded = input; // the encoder pads its argument in place
    const QByteArray encoded = vessamo::mail::Base64Encode(padded);
    const QByteArrayList lines = encoded.split('\n');
    bool ok = encoded.endsWith("\r\n");
    for (qsizetype i = 0; ok && i + 1 < lines.size(); ++i) {
        const qsizetype length = lines[i].size() - 1; // without its CR
        ok = lines[i].endsWith('\r')
            && (i + 2 < lines.size() ? length == 76 : length <= 76 && length % 4 == 0);
    }
    if (!ok || vessamo::mail::Base64DecodeBytes(QString::fromLatin1(encoded)) != input)
        std::abort();
    return 0;
}
