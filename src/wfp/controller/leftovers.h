#pragma once
// Objects that earlier agent processes installed and recorded but never removed (the process
// was killed while engaged): they keep blocking until deleted by key.

namespace qel::wfp {

// Deletes them through a fresh engine handle, filters before their sublayer, and drops the
// records that are done with; objects already gone count as removed. Only a sublayer of the
// agent's own and the filters in it are deleted, whatever a record names. The records of
// this process are left alone.
void remove_leftovers();

}  // namespace qel::wfp
