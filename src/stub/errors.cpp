#include "stub/errors.h"

namespace Stub {

const char kPointerExpired[] = "COM pointer has expired";
const char kReturnedEmpty[] = "COM method returned VT_EMPTY";

}  // namespace Stub
