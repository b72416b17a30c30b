// Sample for the layer check: the bottom floor reaching up into the link.
#include "panel.h"
#include "../link/midi_port.h"
