// The file managers' "Open With" entry for the command, the freedesktop
// counterpart of a Send To shortcut: framelet.desktop in the user's
// applications folder.
#pragma once

#ifndef FRAMELET_LAYER_APP
#error "app headers are for the app alone"
#endif

// Each returns the command's exit status: 0 done, 1 not done (said why).
int InstallDesktopEntry();
int RemoveDesktopEntry();
