#include "common/async/runtime.h"

#include <system_error>

#include "common/async/blocking.h"
#include "common/os_error.h"

namespace qel::async {

Runtime::Runtime(Key) : io_(), work_(asio::make_work_guard(io_)) {}

namespace {

// A failed start leaves its Windows reason as the thread's last error, for os_error_from.
template <class F>
std::thread start_thread(F f) {
    clear_os_error();
    return std::thread(std::move(f));
}

}  // namespace

Result<std::unique_ptr<Runtime>> Runtime::build(unsigned threads) {
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    // Outside the try: the error is taken before its release can touch the last error.
    std::unique_ptr<Runtime> rt;
    try {
        rt = std::make_unique<Runtime>(Key{});  // the I/O completion port
        asio::io_context* io = &rt->io_;
        asio::use_service<BlockingPool>(*io);
        rt->first_worker_ = start_thread([io] { io->run(); });
        if (threads > 1) {
            rt->starter_ = start_thread([io, more = &rt->more_workers_, n = threads - 1] {
                try {
                    for (unsigned i = 0; i < n; ++i)
                        more->emplace_back([io] { io->run(); });
                } catch (const std::system_error&) {
                    // Fewer workers: the runtime still runs every task.
                }
            });
        }
    } catch (const std::system_error& e) {
        return os_error_from(e);  // the destructor stops what was started
    }
    return rt;
}

Runtime::~Runtime() {
    work_.reset();
    io_.stop();
    if (starter_.joinable())
        starter_.join();
    if (first_worker_.joinable())
        first_worker_.join();
    for (auto& t : more_workers_)
        t.join();
}

}  // namespace qel::async
