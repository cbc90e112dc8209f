// Runs a short Python 3 script (Python's email package is the independent reader of what
// the composer writes) with bytes on its standard input. A script reports a mismatch by
// printing it and exiting with a non-zero status.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>

namespace vessamo::test {

struct PythonResult
{
    int status = -1;
    QByteArray out;
};

inline PythonResult runPython(const char *script, const QByteArray &input,
                              const QStringList &arguments = {})
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 QStringList {QStringLiteral("-c"), QString::fromUtf8(script)} + arguments);
    if (!python.waitForStarted(10000))
        return {};
    python.write(input);
    python.closeWriteChannel();
    python.waitForFinished(60000);
    PythonResult result;
    result.status = python.exitStatus() == QProcess::NormalExit ? python.exitCode() : -1;
    result.out = python.readAllStandardOutput() + python.readAllStandardError();
    return result;
}

// Reads one message (as the fake server received it, still dot-stuffed) with Python's email
// package and prints what a mail reader would see, as JSON: the decoded top-level headers,
// the content type and boundary, every leaf part (type, file name, Content-ID, payload
// decoded, in Base64) and every defect the parser found.
inline constexpr const char *kMessageSummary = R"(
import base64, email, email.policy, json, re, sys
raw = re.sub(rb"(?m)^\.", b"", sys.stdin.buffer.read())  # undo the dot-stuffing
msg = email.message_from_bytes(raw, policy=email.policy.default)
defects = [type(d).__name__ for part in msg.walk() for d in part.defects]
parts = []
for part in msg.walk():
    if part.is_multipart():
        continue
    parts.append({"type": part.get_content_type(), "filename": part.get_filename(),
                  "cid": part.get("Content-ID"), "charset": part.get_content_charset(),
                  "payload": base64.b64encode(part.get_payload(decode=True)).decode()})
print(json.dumps({"headers": {k: str(v) for k, v in msg.items()},
                  "type": msg.get_content_type(), "boundary": msg.get_boundary(),
                  "parts": parts, "defects": defects}))
)";

} // namespace vessamo::test
