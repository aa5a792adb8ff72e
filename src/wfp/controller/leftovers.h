#pragma once
// Objects that agent processes installed and recorded but never removed: the process was
// killed while engaged, or its own teardown could not delete them. They keep blocking until
// deleted by key.

namespace qel::wfp {

// Deletes them through a fresh engine handle, filters before their sublayer, and drops the
// records that are done with; objects already gone count as removed. Only the records of an
// owner that has provably ended, or that released them itself, are acted on: a live agent's
// kill switch, this process's own included, is never touched, and neither is anything that
// such a record also names. Only a sublayer of the agent's own and the filters in it are
// deleted, whatever a record names. An entry without an owner (written by an earlier agent)
// is dropped only once its sublayer is gone.
void remove_leftovers();

}  // namespace qel::wfp
