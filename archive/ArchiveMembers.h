// The member search's access to archives (search/MemberAccess.h) over the three
// archiver libraries of Archive.h. The libraries are loaded and freed by the front
// end; while one is not loaded, its archives cannot be listed.
#pragma once

#include "search/MemberAccess.h"

namespace kolbrin {

// The one implementation; it holds no state of its own. Any thread, as MemberAccess.
MemberAccess& ArchiverMemberAccess();

}  // namespace kolbrin
