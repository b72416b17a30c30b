// Sample for the layer check: a link file that reaches up into the pages.
#include "../pages/settings.h"
