#pragma once

#include "tools/definitions.h"
