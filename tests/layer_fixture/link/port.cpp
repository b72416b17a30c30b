// Sample for the layer check: a link file that reaches up into the pages.
#include "../core/panel.h"
#include "../pages/settings.h"
