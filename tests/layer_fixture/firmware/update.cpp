// Sample for the layer check: the update reaching up to the page switch.
#include "../core/panel.h"
#include "../link/message_table.h"
#include "../app/pages.h"
