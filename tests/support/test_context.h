// The one picture context the single-threaded tests share, as one worker of
// a batch would hold it.
#pragma once

#include "engine/picture_context.h"

extern PictureContext context;

// The palette of the context's picture, as the batch hands it to the fitting.
inline const RGBQUAD* CurrentPalette() { return context.current != nullptr ? context.current->palette : nullptr; }
