// Sample for the layer check: the top floor may include every other.
#include "../core/panel.h"
#include "../firmware/update.h"
#include "../link/connection.h"
#include "../pages/settings.h"
