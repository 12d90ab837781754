// The program's version, for the version resource and the version window.
#pragma once

#define FRAMELET_VERSION_NUMBERS 1, 11, 0, 0
#define FRAMELET_VERSION_TEXT "1.11"
