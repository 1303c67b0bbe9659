#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zolviai::testing {

// A TCP relay in front of the server that stops passing the server's answers on a connection
// once the client has sent a statement holding "zg_freeze": a server that went silent in the
// middle of a statement, which the server's own time-out cannot help with.
class FreezingProxy {
public:
    explicit FreezingProxy(int server_port) : server_port_(server_port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 8);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FreezingProxy() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    struct Pair {
        int client;
        int server;
        bool frozen = false;
        bool closed = false;
    };

    // Both ends are shut down; the descriptors stay until the relay stops, so that the
    // poll set keeps its order.
    static void close_pair(Pair& p) {
        p.closed = true;
        ::shutdown(p.client, SHUT_RDWR);
        ::shutdown(p.server, SHUT_RDWR);
    }

    void serve() {
        std::vector<Pair> pairs;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Pair& p : pairs) {
                fds.push_back({p.closed ? -1 : p.client, POLLIN, 0});
                fds.push_back({p.closed ? -1 : p.server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 100) <= 0) {
                continue;
            }
            // Only the pairs that were polled have events; one accepted now waits a round.
            const std::size_t polled = pairs.size();
            if (fds[0].revents & POLLIN) {
                const int client = ::accept(listener_, nullptr, nullptr);
                const int server = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in addr{};
                addr.sin_family = AF_INET;
                addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                addr.sin_port = htons(static_cast<uint16_t>(server_port_));
                ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
                pairs.push_back({client, server});
            }
            for (std::size_t k = 0; k < polled; ++k) {
                Pair& p = pairs[k];
                char buf[65536];
                if (p.closed) {
                    continue;
                }
                if (fds[1 + 2 * k].revents & (POLLIN | POLLHUP | POLLERR)) {
                    const ssize_t n = ::recv(p.client, buf, sizeof buf, MSG_DONTWAIT);
                    if (n > 0) {
                        if (std::string_view(buf, n).find("zg_freeze") != std::string::npos) {
                            p.frozen = true;
                        }
                        ::send(p.server, buf, n, MSG_NOSIGNAL);
                    } else if (n == 0) {
                        close_pair(p);
                        continue;
                    }
                }
                if (!p.frozen && (fds[2 + 2 * k].revents & (POLLIN | POLLHUP | POLLERR))) {
                    const ssize_t n = ::recv(p.server, buf, sizeof buf, MSG_DONTWAIT);
                    if (n > 0) {
                        ::send(p.client, buf, n, MSG_NOSIGNAL);
                    } else if (n == 0) {
                        close_pair(p); // an end of the server's side reaches the client
                    }
                }
            }
        }
        for (const Pair& p : pairs) {
            ::close(p.client);
            ::close(p.server);
        }
    }

    int server_port_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace zolviai::testing
