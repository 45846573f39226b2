// Tiny owners for the resources the launcher takes from the platform. Each one
// releases its resource on every way out of the owning scope, so no function
// needs a cleanup ladder.
#pragma once

#include "kernelServices.h"

// A kernel handle from CreateFileW and friends. Both null and
// INVALID_HANDLE_VALUE mean "nothing owned".
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }

    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    void close() {
        if (*this) {
            kernel.CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// One zero-filled block of the process heap. A failed allocation or release
// is reported to the debugger: these are the failures the log cannot record.
class HeapBuffer {
public:
    explicit HeapBuffer(SIZE_T bytes);
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    ~HeapBuffer();

    explicit operator bool() const { return block_ != nullptr; }
    void* get() const { return block_; }
    char* chars() const { return static_cast<char*>(block_); }

private:
    void* block_ = nullptr;
};

// The copy of the environment that GetEnvironmentStringsW hands out.
class EnvironmentStrings {
public:
    explicit EnvironmentStrings(LPWCH strings) : strings_(strings) {}
    EnvironmentStrings(const EnvironmentStrings&) = delete;
    EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
    ~EnvironmentStrings() {
        if (strings_ != nullptr) {
            kernel.FreeEnvironmentStringsW(strings_);
        }
    }

    explicit operator bool() const { return strings_ != nullptr; }
    const wchar_t* get() const { return strings_; }

private:
    LPWCH strings_;
};

// A block the system allocated for us with LocalAlloc (FormatMessage's text).
template <typename T>
class LocalMemory {
public:
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (memory_ != nullptr) {
            kernel.LocalFree(memory_);
        }
    }

    // FormatMessage with FORMAT_MESSAGE_ALLOCATE_BUFFER writes the block's
    // address through its buffer argument.
    T** out() { return &memory_; }
    T* get() const { return memory_; }

private:
    T* memory_ = nullptr;
};

// A GDI object (here the bitmaps that GetIconInfo hands to its caller).
class GdiObject {
public:
    explicit GdiObject(HGDIOBJ object) : object_(object) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject() {
        if (object_ != nullptr) {
            kernel.DeleteObject(object_);
        }
    }

    explicit operator bool() const { return object_ != nullptr; }
    HGDIOBJ get() const { return object_; }

private:
    HGDIOBJ object_;
};

// Holds a critical section for the lifetime of the scope.
class LockGuard {
public:
    explicit LockGuard(CRITICAL_SECTION& section) : section_(section) {
        kernel.EnterCriticalSection(&section_);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { kernel.LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION& section_;
};
