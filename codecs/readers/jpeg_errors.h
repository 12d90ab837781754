// The JPEG library's error manager, shared by the reader and the writer: the
// library's standard one, except that a fatal error jumps back to the caller
// instead of ending the process.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

// The library's headers need FILE and size_t declared before them.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#ifndef JCS_EXTENSIONS
#error "the JPEG library must offer blue-green-red rows (JCS_EXT_BGR)"
#endif

struct JpegErrorManager {
    jpeg_error_mgr base;  // first, so that the library's pointer is ours
    jmp_buf context;      // where a fatal error returns to; set by the caller
};

// Fills the manager and returns the pointer to hand to the library's err.
jpeg_error_mgr* InstallJpegErrors(JpegErrorManager& manager);
