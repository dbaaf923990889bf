// SPDX-License-Identifier: MIT
// The higher module.
#pragma once

#include "low.h"
