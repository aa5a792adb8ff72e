#pragma once
// A client of the agent's pipe for the tools: overlapped, so that a writer thread and a
// reader can use the connection at the same time.

#include <windows.h>

#include <optional>
#include <string>

namespace qel::tools {

class PipeClient {
  public:
    // Connects, retrying while the pipe is busy or not there yet, for up to `wait_ms`.
    static std::optional<PipeClient> connect(const std::wstring& name, DWORD wait_ms = 10000);
    PipeClient(PipeClient&& o) noexcept : h_(o.h_) { o.h_ = INVALID_HANDLE_VALUE; }
    PipeClient& operator=(PipeClient&&) = delete;
    ~PipeClient() { close(); }

    bool write(const std::string& bytes);
    // One line without its line feed; nothing at the end of the stream (or on an error).
    std::optional<std::string> read_line();
    void close();

  private:
    explicit PipeClient(HANDLE h) : h_(h) {}
    HANDLE h_;
    std::string pending_;
};

// The token of the calling user's session: %LOCALAPPDATA%\com.qel\agent.tok.
std::wstring default_token_file();
std::optional<std::string> read_token(const std::wstring& path);

std::wstring widen(const std::string& s);
std::string narrow(const std::wstring& w);
void print(const std::string& s);

}  // namespace qel::tools
