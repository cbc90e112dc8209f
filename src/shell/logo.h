// The program's logo, drawn at run time: an envelope with a forwarding arrow. The same
// picture is the about box's image and the tray icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vessamo::shell {

QPixmap logoPixmap(int size);
QIcon logoIcon();

} // namespace vessamo::shell
