#include "shell/presenter.h"

#include "platform/eventlog.h"

#include <QMessageBox>
#include <cstdio>

namespace vessamo::shell {

void ConsolePresenter::messageBox(const QString &text, BoxIcon icon)
{
    std::FILE *out = icon == BoxIcon::Stop ? stderr : stdout;
    const QByteArray line = (platform::escapeLine(text) + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out);
    std::fflush(out);
}

void WindowPresenter::messageBox(const QString &text, BoxIcon icon)
{
    QMessageBox box(icon == BoxIcon::Stop              ? QMessageBox::Critical
                        : icon == BoxIcon::Information ? QMessageBox::Information
                                                       : QMessageBox::NoIcon,
                    applicationTitle(), text, QMessageBox::Ok);
    box.exec();
}

} // namespace vessamo::shell
