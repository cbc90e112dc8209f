// The administrative switches: install (/I) and remove (/D) the service, and start or
// stop the installed service (/A) through systemctl. Each reports in one message box and
// returns the exit status (0 success, 1 failure).
#pragma once

#include "config/layout.h"
#include "platform/servicecontrol.h"
#include "shell/presenter.h"

namespace vessamo::shell {

// The service's names and the unit's variable parts: the executable, and the folders the
// sandbox lets it write (the spool installed, else the program's folder; never /etc/vessamo).
void describeService(platform::ServiceControl &service, const QString &executable,
                     const config::Layout &layout);

int installService(platform::ServiceControl &service, Presenter &presenter);
int removeService(platform::ServiceControl &service, Presenter &presenter);
int toggleService(platform::ServiceControl &service, Presenter &presenter);

} // namespace vessamo::shell
