// The wire log of one protocol ("vessamo.wire.smtp", "vessamo.wire.pop3"), collected while
// a capture lives: the category switched on and its lines kept; the message handler and
// the filter rules are put back when it ends.
#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

namespace vessamo::test {

class WireLogCapture
{
public:
    explicit WireLogCapture(const char *category)
        : category_(category)
    {
        active_ = this;
        QLoggingCategory::setFilterRules(QString::fromLatin1(category) + QStringLiteral(".debug=true"));
        previous_ = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &context, const QString &text) {
                if (active_ && qstrcmp(context.category, active_->category_) == 0)
                    active_->lines << text;
            });
    }
    ~WireLogCapture()
    {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
        active_ = nullptr;
    }
    WireLogCapture(const WireLogCapture &) = delete;
    WireLogCapture &operator=(const WireLogCapture &) = delete;

    QStringList lines;

private:
    static inline WireLogCapture *active_ = nullptr;
    const char *category_;
    QtMessageHandler previous_ = nullptr;
};

} // namespace vessamo::test
