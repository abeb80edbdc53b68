#pragma once
// The person-top fraction of a matte: how far down the first person row lies.
#include "platform/image.h"

namespace figsplit {

// Scans rows top first, each row's `width` pixel bytes left to right (never the padding up to
// the stride), and stops at the first byte of 128 or more: returns its row ÷ height. 1.0 when
// no byte qualifies, when the matte has no rows or columns, or when its bytes are missing.
double personTop(const GreyImage& matte);

}  // namespace figsplit
