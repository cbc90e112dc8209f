// Text for the terminal of a command-line request.
#pragma once

#include <QString>
#include <cstdio>

namespace vessamo::shell {

// The text in UTF-8, flushed at once: a watcher sees each line as it comes.
void print(std::FILE *to, const QString &text);

} // namespace vessamo::shell
