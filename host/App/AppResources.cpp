#include "App/AppResources.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerIcons()
{
    Q_INIT_RESOURCE(icons);
}

void useAppResources()
{
    static const bool registered = (registerIcons(), true);
    (void)registered;
}
