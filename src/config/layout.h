// Where the program keeps its files. The installed program (the executable the package
// puts at the compiled-in path, normally /usr/bin/vessamo) uses the places Linux
// administrators expect: /etc/vessamo/vessamo.vsm and the folders under
// /var/spool/vessamo. Run from anywhere else (a build tree, a copy in another folder),
// everything stays beside the executable as before, and so does an older hand-made
// installation that already keeps its configuration beside the executable. Root and the
// service user share the installed files; any other user running the installed program
// (the desktop entry's tray program) cannot read them and keeps files of their own, under
// ~/.config/vessamo and ~/.local/share/vessamo.
#pragma once

#include <QString>

namespace vessamo::config {

inline constexpr char16_t kSystemConfigurationFile[] = u"/etc/vessamo/vessamo.vsm";
inline constexpr char16_t kSpoolFolder[] = u"/var/spool/vessamo";

struct Layout
{
    bool installed = false;
    // Installed, run by a user of its own: the files below are that user's.
    bool perUser = false;
    QString configurationFile;
    // The folder under which the default queue and archive folders (Cua, SiEnviats,
    // NoEnviats, SPam) are offered.
    QString folderBase;

    bool operator==(const Layout &) const = default;
};

// `executable` and `installedExecutable` are absolute, canonical paths;
// `besideExists` tells whether the configuration file beside the executable exists.
// `userConfig` and `userData` are the folders of a user other than root and the service
// user (empty for those two).
Layout layoutFor(const QString &executable, const QString &installedExecutable, bool besideExists,
                 const QString &userConfig = {}, const QString &userData = {});

// Creates a per-user layout's folders (mode 0700) so that the first save finds them.
bool prepareUserFolders(const Layout &layout);

// The layout of this process (needs the application object), or of the program at
// `executable` (vessamo-send takes the one of the vessamo beside it).
Layout programLayout();
Layout programLayout(const QString &executable);

} // namespace vessamo::config
