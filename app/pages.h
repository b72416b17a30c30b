// Pages and layout modes: which group of MainPanel's controls is visible.
#pragma once

#include "../core/panel.h"

// Hides every page-specific group, then shows the one of the layout; a value
// outside the named ones hides like NotConnected.
void showPage(PageMode mode);

// Whether the firmware update layout is up (its button 223 shown).
bool updateLayoutShown();

// Page buttons 211, 212, 213.
void onPageButton(int id);
