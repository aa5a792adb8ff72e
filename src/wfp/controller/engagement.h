#pragma once
// An engaged kill switch together with its record on disk.

#include <memory>

namespace qel::wfp {

struct KillSwitch;

class Engagement {
  public:
    // Records the kill switch's keys; a record that cannot be written is only logged.
    explicit Engagement(std::unique_ptr<KillSwitch> kill_switch);
    Engagement(const Engagement&) = delete;
    Engagement& operator=(const Engagement&) = delete;
    // Releases the kill switch, then drops its record: until the objects are gone the record
    // is what would let a later agent process remove them.
    ~Engagement();

  private:
    std::unique_ptr<KillSwitch> kill_switch_;
};

}  // namespace qel::wfp
