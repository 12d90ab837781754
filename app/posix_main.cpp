// The command-line start-up used off Windows: the program's direct
// conversion path. Conversion arrives with the batch driver; for now the
// command finds and rewrites its settings and says where they are.
#include "engine/memory.h"
#include "settings/settings_store.h"

#include <cstdio>

int main(int argc, char**) {
    if (!SettingsStore::ResolvePath()) {
        fprintf(stderr, "Error: the program must be named framelet\n");
        return 2;
    }
    fprintf(stderr, "usage: framelet PICTURE...\nsettings: %ls\n", settingsPath);
    return argc > 1 ? 1 : 2;
}
