// The higher module.
#pragma once

#include "low.h"
