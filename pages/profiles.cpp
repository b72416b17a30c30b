// User profiles. Not built yet: names are not shown, recall and save send nothing.
#include "profiles.h"

void onProfileNameReport(int, const uint8_t*, std::size_t) {}
void onProfileCommand(int, int) {}
