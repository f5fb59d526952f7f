// The image toolkit: the operations over picture records (tools/definitions.h)
// that the plain compositions of reference/ are written with, by family. Not
// part of the library: the indicators compute on their own fast paths, and
// the toolkit is linked by what checks them (reference/, the tests, the
// fuzzers).
#pragma once

#include "toolkit/activity.h"
#include "toolkit/blocks.h"
#include "toolkit/filter.h"
#include "toolkit/flicker.h"
#include "toolkit/gradient.h"
#include "toolkit/roberts.h"
#include "tools/definitions.h"
