// Sample for the layer check: a page that uses the firmware update.
#include "firmware/update.h"
