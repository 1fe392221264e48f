// What the Win32 backend's files share: windows.h with the project's settings, the last-error
// helpers, owners for the memory and COM objects the API hands back, and the long-path form
// of a path. Every file of the backend includes it first: the other SDK headers rely on the
// types windows.h declares.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

namespace Platform::Win32 {

// Sets the thread's last error and returns false: the failure path of a kernel32-style call.
inline bool failWith(DWORD code) {
    ::SetLastError(code);
    return false;
}

// Frees on scope exit, with `Free`, a buffer that the API allocated for its caller.
template <typename T, void (*Free)(void*)>
class ApiBuffer {
public:
    ApiBuffer() = default;
    explicit ApiBuffer(T* p) : p_(p) {}
    ~ApiBuffer() {
        if (p_) {
            Free(p_);
        }
    }
    ApiBuffer(const ApiBuffer&) = delete;
    ApiBuffer& operator=(const ApiBuffer&) = delete;
    T** put() { return &p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

inline void localFree(void* p) {
    ::LocalFree(p);
}

// The buffers of the security API, CommandLineToArgvW and FormatMessageW.
template <typename T>
using LocalMemory = ApiBuffer<T, localFree>;

// A counted COM reference.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void reset() {
        if (p_) {
            std::exchange(p_, nullptr)->Release();
        }
    }

private:
    T* p_ = nullptr;
};

// The form of `path` the file API takes at any length: a full drive or UNC path longer than
// the classic limit gets the "\\?\" prefix (which also turns off the API's own
// canonicalization, so "." and ".." are resolved first); shorter paths and paths already
// prefixed pass unchanged, so that their errors stay the ones of the ordinary form.
std::wstring longPath(const std::wstring& path);

}  // namespace Platform::Win32
