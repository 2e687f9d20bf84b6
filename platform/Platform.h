// The whole platform layer for callers that use several of its parts.
#pragma once

#include "DebugOutput.h"
#include "Kernel.h"
#include "MessageBox.h"
#include "Pipes.h"
#include "Runtime.h"
#include "Timing.h"
#include "WinTypes.h"
#include "Windows.h"
