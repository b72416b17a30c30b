// Sample for the layer check: a page that uses the firmware update.
#include "../core/panel.h"
#include "../link/message_table.h"
#include "firmware/update.h"
