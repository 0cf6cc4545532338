#pragma once

#include "error/error.hpp"

namespace pelmora {

// Succeeds when this process owns the worker pool: the first call records its process id, and a
// forked child of that process (whose pool threads do not exist) is refused with InvalidInput.
Result<void> guard_worker_pool_fork();

}  // namespace pelmora
