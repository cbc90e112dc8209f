#include "routing/frmenviarcorreu.h"

namespace vessamo::routing {

void frmEnviarCorreu::run()
{
    view_.open();
    view_.addStatus(QStringLiteral("Enrutament encara no construït: no s'ha llegit cap bústia"));
    view_.close();
}

} // namespace vessamo::routing
