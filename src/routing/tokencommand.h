// The token command: a program the administrator names for a mailbox or the SMTP login
// whose first output line is an access token for XOAUTH2 or OAUTHBEARER (a provider's own
// helper, a secrets manager, vessamo-token itself). It runs as the anti-spam program does:
// looked up once and started by its full path, not run at all when others could change it,
// for a bounded time, ended with its process group when that passes or the run is stopped.
// Its standard error is discarded, its standard output read up to a cap; neither the token
// nor anything else it wrote ever appears in an error text.
#pragma once

#include "platform/stopsource.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace vessamo::routing {

// How long a token command may take. A helper that asks a provider answers in a second or
// two; half a minute is the time the built-in client gives one request, and keeps a hung
// command inside the run's safety timer.
inline constexpr int kTokenCommandLimitSeconds = 30;
// The longest token taken (Microsoft's run to a few kilobytes), and the most output read.
inline constexpr qsizetype kMaxAccessTokenBytes = 16 * 1024;
inline constexpr qsizetype kMaxTokenOutputBytes = 64 * 1024;

// Whether `token` is one an Authorization header may carry (RFC 6750 section 2.1,
// b64token): letters, digits and "-._~+/", then any number of "=", at least one character.
bool validBearerToken(QByteArrayView token);

// The token in a command's output: its first line (ended by LF, or the whole output), with
// blanks and CR trimmed. Empty with `why` set when there is none, it is too long or it holds
// a character a bearer token may not; `why` never quotes the output.
QString tokenFromOutput(const QByteArray &output, bool outputCut, QString &why);

// Runs `commandLine` (split like a Windows command line, no shell) and returns the token,
// or nothing with `error` saying why in Catalan, naming the program file, never its output.
std::optional<QString> runTokenCommand(const QString &commandLine, QString &error,
                                       const platform::StopSource *stop = nullptr,
                                       int limitSeconds = kTokenCommandLimitSeconds);

} // namespace vessamo::routing
