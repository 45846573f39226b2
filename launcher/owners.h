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
    // Closes what was owned and owns `handle` instead.
    void reset(HANDLE handle) {
        close();
        handle_ = handle;
    }
    // Hands the handle over to a caller that keeps it beyond this scope.
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
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

// The attribute list of an extended startup record, in a heap block of its
// own. It is deleted only when it was initialised.
class AttributeList {
public:
    // Room for `count` attributes; check with operator bool.
    explicit AttributeList(DWORD count);
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList();

    explicit operator bool() const { return initialized_; }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const {
        return static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(block_.get());
    }
    // The system's code when the list could not be made.
    DWORD error() const { return error_; }

private:
    static SIZE_T sizeFor(DWORD count);

    SIZE_T size_;
    HeapBuffer block_;
    bool initialized_ = false;
    DWORD error_ = 0;
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
