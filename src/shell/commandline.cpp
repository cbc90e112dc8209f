#include "shell/commandline.h"

#include <array>
#include <utility>

namespace vessamo::shell {

Switch parseSwitch(const QStringList &arguments)
{
    static const std::array<std::pair<const char16_t *, Switch>, 5> order = {{
        {u"/I", Switch::Install},
        {u"/D", Switch::Remove},
        {u"/A", Switch::Toggle},
        {u"/C", Switch::Configure},
        {u"/E", Switch::Standalone},
    }};
    const QString line = arguments.join(u' ').toUpper();
    for (const auto &[text, value] : order) {
        if (line.contains(QString::fromUtf16(text)))
            return value;
    }
    return Switch::Service;
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    qsizetype first = 0;
    while (first < arguments.size() && !arguments[first].startsWith(QStringLiteral("--")))
        ++first;
    line.sw = parseSwitch(arguments.first(first));
    line.options = arguments.sliced(first);
    return line;
}

} // namespace vessamo::shell
