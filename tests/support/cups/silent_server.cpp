#include "silent_server.h"

#include <QFile>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

SilentServer::SilentServer(const QString &socketPath)
{
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ::unlink(path.constData());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener_, 64) != 0) {
        ::close(listener_);
        listener_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

SilentServer::~SilentServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

void SilentServer::run()
{
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    char buffer[65536];
    while (!stop_) {
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (::read(fds[i].fd, buffer, sizeof buffer) <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
        }
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ++connections_;
                fds.push_back({client, POLLIN, 0});
            }
        }
        for (size_t i = fds.size(); i-- > 1;) {
            if (fds[i].fd < 0)
                fds.erase(fds.begin() + long(i));
        }
    }
    for (size_t i = 1; i < fds.size(); ++i)
        ::close(fds[i].fd);
}
