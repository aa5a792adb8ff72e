#include "common/async/runtime.h"

#include <system_error>

#include "common/async/blocking.h"

namespace qel::async {

Runtime::Runtime(Key) : io_(), work_(asio::make_work_guard(io_)) {}

Result<std::unique_ptr<Runtime>> Runtime::build(unsigned threads) {
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    auto rt = std::make_unique<Runtime>(Key{});
    try {
        asio::use_service<BlockingPool>(rt->io_);
        for (unsigned i = 0; i < threads; ++i) {
            rt->workers_.emplace_back([io = &rt->io_] { io->run(); });
        }
    } catch (const std::system_error& e) {
        return Error(e.what());
    }
    return rt;
}

Runtime::~Runtime() {
    work_.reset();
    io_.stop();
    for (auto& t : workers_)
        t.join();
}

}  // namespace qel::async
