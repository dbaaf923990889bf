// SPDX-License-Identifier: MIT
// A lower module that reaches up: the layer check must refuse it.
#pragma once

#include "high.h"
