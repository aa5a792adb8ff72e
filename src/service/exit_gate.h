#pragma once
// Lets one thread wait, bounded, until the threads inside a section have left it.
//
// The service thread is inside from service_entry to its return. Its stopped report lets the
// dispatcher call in main return while the thread still logs the service main's error, releases
// the runtime and writes out the log queue; main waits here before it ends the process.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace qel::service {

class ExitGate {
  public:
    // Inside from its creation to its destruction.
    class Pass {
      public:
        explicit Pass(ExitGate& gate);
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        ~Pass();

      private:
        ExitGate& gate_;
    };

    // True when no thread is inside, at once or within `bound`.
    bool wait_until_left(std::chrono::milliseconds bound);

  private:
    std::mutex m_;
    std::condition_variable left_;
    std::size_t inside_ = 0;
};

}  // namespace qel::service
