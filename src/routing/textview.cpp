#include "routing/textview.h"

#include "platform/eventlog.h"

namespace vessamo::routing {

void TextView::write(const QString &line)
{
    const QByteArray bytes = (platform::escapeLine(line) + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out_);
    std::fflush(out_);
}

void TextView::addStatus(const QString &line)
{
    write(line);
}

void TextView::setLabel(const QString &text)
{
    // A label is redrawn often with the same text; print it when it changes.
    if (text == lastLabel_)
        return;
    lastLabel_ = text;
    if (!text.isEmpty())
        write(text);
}

} // namespace vessamo::routing
