#pragma once
// The process's one asynchronous runtime: an io_context (the I/O completion port on Windows)
// run by one worker thread per logical processor, and its blocking pool.
//
// Only the first worker is started before build() returns; a starter thread adds the others
// meanwhile. Under Wine a thread costs 1 to 2 ms to create (every loaded DLL sees it attach),
// which in series would have made up most of the time to the pipe's first instance.

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "common/error.h"

namespace qel::async {

class Runtime {
  public:
    // threads == 0: one per logical processor.
    static Result<std::unique_ptr<Runtime>> build(unsigned threads = 0);

    // Drops every unfinished task and waits for the worker and blocking threads.
    ~Runtime();

    asio::io_context& io() { return io_; }

    // Runs a coroutine to its end inside the runtime while the calling thread waits for it.
    template <class T>
    T block_on(asio::awaitable<T> task) {
        std::promise<T> done;
        auto result = done.get_future();
        asio::co_spawn(asio::make_strand(io_), fulfil(std::move(task), &done),
                       [&done](std::exception_ptr e) {
                           if (e)
                               done.set_exception(e);
                       });
        return result.get();
    }

    struct Key {
        explicit Key() = default;
    };
    explicit Runtime(Key);

  private:
    // The promise lives on the waiting caller's stack until the result is taken.
    template <class T>
    static asio::awaitable<void> fulfil(asio::awaitable<T> task, std::promise<T>* done) {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            done->set_value();
        } else {
            done->set_value(co_await std::move(task));
        }
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread first_worker_;
    std::thread starter_;
    std::vector<std::thread> more_workers_;  // written by the starter alone, until it is joined
};

}  // namespace qel::async
