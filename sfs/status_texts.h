// The texts that go with a status code: the standard message of a status
// reply whose handler has no text of its own, and the suffix that failure log
// lines place right after the word "failed".
#pragma once

#include "nocrtlib/ncstring.h"
#include "sfs/sfs_enums.h"

namespace kiln {

// "The file does not exist." for NoSuchFile; any code without a text of its
// own gives the Failure text.
WString StandardStatusText(SfsStatusCode code);

// " with NoSuchFile"; empty for Failure, so that a plain failure reads
// "... failed. <reason>"; " with status code 32" for a code without a name.
WString StatusSuffix(SfsStatusCode code);

}  // namespace kiln
