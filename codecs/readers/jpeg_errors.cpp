#include "codecs/readers/jpeg_errors.h"

namespace {

void ReturnToCaller(j_common_ptr library) { longjmp(reinterpret_cast<JpegErrorManager*>(library->err)->context, 1); }

}  // namespace

jpeg_error_mgr* InstallJpegErrors(JpegErrorManager& manager) {
    jpeg_error_mgr* errors = jpeg_std_error(&manager.base);
    errors->error_exit = ReturnToCaller;
    return errors;
}
