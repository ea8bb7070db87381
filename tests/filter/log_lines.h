#pragma once
// Kept for tests that still include it: the log reading helpers are in support/trace_capture.h.
#include "support/trace_capture.h"
