#include "support/test_context.h"

PictureContext context;
