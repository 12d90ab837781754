#include "readers/plugin_host.h"

// No plug-in is consulted yet: every file is declined.
DecodedImage* PluginHost::Decode(LPCWSTR, LPCWSTR) { return nullptr; }
