// Start-up of the Windows program. The main window arrives in a later step;
// until then the program creates its private heap, finds its settings and
// ends cleanly.
#include "engine/memory.h"
#include "settings/settings_store.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    if (privateHeap == nullptr) return 1;
    const bool resolved = SettingsStore::ResolvePath();
    HeapDestroy(privateHeap);
    privateHeap = nullptr;
    return resolved ? 0 : 1;
}
