#pragma once
// A print server that accepts connections on a Unix socket and reads what it is
// sent, but never answers: the server that must not freeze the window.

#include <QString>
#include <atomic>
#include <thread>

class SilentServer {
public:
    // Listens on socketPath (replacing a stale socket file) from a thread of its own.
    explicit SilentServer(const QString &socketPath);
    ~SilentServer();
    SilentServer(const SilentServer &) = delete;
    SilentServer &operator=(const SilentServer &) = delete;
    bool isListening() const { return listener_ >= 0; }
    int connections() const { return connections_; }

private:
    void run();
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};
