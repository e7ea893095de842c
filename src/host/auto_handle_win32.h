// Owner of one kernel handle: closes it when the owner goes out of scope.
// Null and INVALID_HANDLE_VALUE both count as no handle.
#pragma once

#include <windows.h>

#include <utility>

namespace Utils {

class QmeAutoHandle {
public:
    QmeAutoHandle() = default;
    explicit QmeAutoHandle(HANDLE h) : h_(h) {}
    QmeAutoHandle(QmeAutoHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    QmeAutoHandle& operator=(QmeAutoHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    QmeAutoHandle(const QmeAutoHandle&) = delete;
    QmeAutoHandle& operator=(const QmeAutoHandle&) = delete;
    ~QmeAutoHandle() { reset(); }

    static bool isValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    bool isValid() const { return isValid(h_); }
    HANDLE get() const { return h_; }
    void reset(HANDLE h = nullptr) {
        if (isValid(h_)) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

}  // namespace Utils
