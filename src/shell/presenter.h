// Message boxes: a window with the title "Vessamo" and an OK button when there is a
// display; otherwise the text goes to standard output (standard error for the stop icon).
#pragma once

#include <QString>

namespace vessamo::shell {

enum class BoxIcon { None, Information, Stop };

class Presenter
{
public:
    virtual ~Presenter() = default;
    virtual void messageBox(const QString &text, BoxIcon icon) = 0;
};

class ConsolePresenter : public Presenter
{
public:
    void messageBox(const QString &text, BoxIcon icon) override;
};

class WindowPresenter : public Presenter
{
public:
    void messageBox(const QString &text, BoxIcon icon) override;
};

// The application's title, used by every box and window.
inline QString applicationTitle()
{
    return QStringLiteral("Vessamo");
}

} // namespace vessamo::shell
