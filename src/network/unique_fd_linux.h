// Owns one file descriptor of the Linux adapters (sockets, netlink), closed
// on every path.
#pragma once

#include <unistd.h>

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};
