// Feeds arbitrary bytes to the DNS reply reader as if a server had sent them: no input
// may crash it or read past the buffer, and a malformed reply never carries a result.
#include "dns/dnsmessage.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No copy: the fuzzer's buffer is exactly `size` long, so a read past it is caught.
    const QByteArray reply
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<vessamo::dns::MxReply> read = vessamo::dns::readMxReply(reply);
    check(!read || !read->malformed || read->bestHost.isEmpty());
    if (size > 0) {
        qsizetype position = qsizetype(data[0]) % qsizetype(size);
        const qsizetype start = position;
        // A decoded name always moves the position forward.
        check(!vessamo::dns::DecodeDnsName(reply, position) || position > start);
    }
    return 0;
}
