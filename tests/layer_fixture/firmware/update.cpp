// Sample for the layer check: allowed includes only.
#include "../link/message_table.h"
#include "../app/pages.h"
