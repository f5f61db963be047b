// Whether spinning on a state that another thread changes can pay here.
#pragma once

namespace platform {
namespace posix {

// True when this process may run on more than one processor: a spinning thread then leaves a
// processor to the thread it waits for. Fixed at the first call.
bool CanSpin();

}  // namespace posix
}  // namespace platform
