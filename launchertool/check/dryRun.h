// The launcher's core run as a dry run: for the scope's lifetime the kernel
// table answers the module path of the installation being checked, takes the
// log's entries without writing them, keeps the debugger output in memory,
// lets files on a disk be
// opened for reading only, and refuses everything that would create, write or
// start.
// This is the one place of the tool that substitutes kernel calls.
#pragma once

#include "kernelServices.h"

#include <string>
#include <vector>

// One file the core opened, or tried to open, for reading.
struct OpenedFile {
    std::wstring path;
    DWORD error;  // 0 when it opened
    // A device (COM1), which is not read: reading one can block for good.
    bool device = false;
};

class DryRun {
public:
    // `modulePath` is what GetModuleFileNameW answers, cut to the caller's
    // buffer as the system cuts it.
    explicit DryRun(const std::wstring& modulePath);
    DryRun(const DryRun&) = delete;
    DryRun& operator=(const DryRun&) = delete;
    ~DryRun();

    // What the core sent to the debugger.
    const std::string& debuggerText() const;
    // The files the core opened for reading, in order.
    const std::vector<OpenedFile>& openedFiles() const;

private:
    KernelServices saved_;
    HANDLE savedLogFile_;
};
