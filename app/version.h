// The program's version, for the version resource and the version window,
// and the maker's lines the version window shows.
#pragma once

#define FRAMELET_VERSION_NUMBERS 1, 11, 0, 0
#define FRAMELET_VERSION_TEXT "1.11"
#define FRAMELET_NOTICE_TEXT "(C) 2026 The Framelet maintainers"
#define FRAMELET_HOME_PAGE "https://framelet.example/"
