#include "common/async/runtime.h"

#include <system_error>

#include "common/async/blocking.h"

namespace qel::async {

Runtime::Runtime(Key) : io_(), work_(asio::make_work_guard(io_)) {}

Result<std::unique_ptr<Runtime>> Runtime::build(unsigned threads) {
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    auto rt = std::make_unique<Runtime>(Key{});
    asio::io_context* io = &rt->io_;
    try {
        asio::use_service<BlockingPool>(*io);
        rt->first_worker_ = std::thread([io] { io->run(); });
        if (threads > 1) {
            rt->starter_ = std::thread([io, more = &rt->more_workers_, n = threads - 1] {
                try {
                    for (unsigned i = 0; i < n; ++i)
                        more->emplace_back([io] { io->run(); });
                } catch (const std::system_error&) {
                    // Fewer workers: the runtime still runs every task.
                }
            });
        }
    } catch (const std::system_error& e) {
        return Error(e.what());  // the destructor stops what was started
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
