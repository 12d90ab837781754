// State of the host that decodes through third-party picture plug-ins.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "engine/codec_state.h"

class PluginHost : public CodecState {
public:
    HMODULE library = nullptr;
    HLOCAL infoHandle = nullptr;  // picture information from the plug-in
    HLOCAL bitsHandle = nullptr;  // picture bits from the plug-in

    // The picture decoded by the first plug-in of the folder that accepts the
    // file, or null.
    DecodedImage* Decode(LPCWSTR path, LPCWSTR folder);
};
