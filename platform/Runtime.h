// The shared io_context and its worker threads: the one place engine tasks run.
#pragma once
#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <thread>
#include <vector>

namespace velmo {

class Runtime {
public:
    explicit Runtime(unsigned threads = 2);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // The process-wide runtime, created on first use.
    static Runtime& shared();

    asio::io_context& context() { return context_; }
    asio::any_io_executor executor() { return context_.get_executor(); }

    // Stops the workers after they finish what is running; idempotent.
    void stop();

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<std::thread> workers_;
};

}  // namespace velmo
