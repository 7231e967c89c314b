#pragma once
// Owns one POSIX file descriptor and closes it once.

#include <unistd.h>

#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now; false when the close itself reported an error (a late write error, say).
    bool reset(int fd = -1)
    {
        const bool ok = fd_ < 0 || ::close(fd_) == 0;
        fd_ = fd;
        return ok;
    }

private:
    int fd_ = -1;
};
