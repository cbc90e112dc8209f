// The notification-area icon as frmMain sees it: added with a tip, removed. The icon's
// menu actions come back to frmMain through the application's wiring.
#pragma once

#include <QString>

namespace vessamo::shell {

class TrayView
{
public:
    virtual ~TrayView() = default;
    virtual void add(const QString &tip) = 0;
    virtual void remove() = 0;
};

// No display: nothing is drawn, the program runs the same.
class NullTray : public TrayView
{
public:
    void add(const QString &) override { }
    void remove() override { }
};

} // namespace vessamo::shell
