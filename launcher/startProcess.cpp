#include "startProcess.h"

#include "diagnosticLog.h"
#include "fileInFolder.h"
#include "kernelServices.h"
#include "owners.h"

#include <cwchar>

namespace {

template <std::size_t N>
constexpr EnvironmentPrefix prefix(const wchar_t (&text)[N]) {
    return {text, N - 1};
}

// Appends each entry of the launcher's environment that begins with a listed
// prefix, case included, in the order the system gives them.
void appendPassedOnVariables(ChildStart& start) {
    EnvironmentStrings strings{kernel.GetEnvironmentStringsW()};
    if (!strings) {
        start.environmentError = kernel.GetLastError();
        return;
    }
    for (const wchar_t* entry = strings.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        for (const EnvironmentPrefix& listed : environmentWhitelist) {
            if (std::wcsncmp(entry, listed.text, listed.length) == 0) {
                start.environment.appendEntry(entry);
                break;
            }
        }
    }
    start.environmentRead = true;
}

// Every start can be reconstructed from the log: the child's whole
// environment stands between the two "----" lines.
void logEnvironment(const EnvironmentBlock& environment) {
    logMessage(SOURCE, __LINE__, "startProcess", "----\n");
    const wchar_t* block = environment.get();
    if (block != nullptr) {
        for (const wchar_t* entry = block; entry < block + environment.count();
             entry += std::wcslen(entry) + 1) {
            logMessage(SOURCE, __LINE__, "startProcess", "%S\n", entry);
        }
    }
    logMessage(SOURCE, __LINE__, "startProcess", "----\n");
}

const wchar_t* effectiveName(const WideText& file) {
    return file.isNull() ? L"NUL" : file.get();
}

// The standard handles reach the child by inheritance.
FileHandle openNullDevice(DWORD access) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    return FileHandle{kernel.CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                         nullptr)};
}

// One of the child's output streams: a file of log_dir, or the null device.
struct ChildOutput {
    FileHandle handle;
    // A file that held something when it was opened: the start empties it.
    bool needsEmptying = false;
    // The stream goes to the file, not to the null device.
    bool toFile = false;
};

// Opens the file `name` for the child without emptying it, append-only, so
// that every write of the child lands at the current end. A missing
// directory is not made. Where something other than a plain file of its
// folder stands at the name, the child gets the null device for the stream
// and the application starts all the same. False when the start cannot go
// on; the reason is logged.
bool openOutput(const WideText& name, ChildOutput& output, DWORD& error) {
    if (!name.isNull()) {
        bool empty = false;
        switch (openFileInFolder(output.handle, name.get(), folderLengthOf(name.get()),
                                 FILE_APPEND_DATA, true, error, &empty)) {
        case FileOpening::Opened:
            output.needsEmptying = !empty;
            output.toFile = true;
            return true;
        case FileOpening::Failed:
            logError(SOURCE, __LINE__, "startProcess", error, " ");
            return false;
        case FileOpening::Refused:
            logMessage(SOURCE, __LINE__, "startProcess", "link refused, NUL instead: %S\n",
                       name.get());
            break;
        }
    }
    output.handle.reset(openNullDevice(FILE_APPEND_DATA).release());
    if (!output.handle) {
        error = kernel.GetLastError();
        logError(SOURCE, __LINE__, "startProcess", error, " ");
        return false;
    }
    return true;
}

// Each start empties its files, but only once the child exists: a start that
// fails leaves the previous run's output to whoever looks into it. The
// emptying goes through a second handle on the very file already checked,
// never through its name again, and the child does not get it: the child's
// own may only append. A file that held nothing is left alone: what another
// running copy appends meanwhile is no more lost than what it appends after.
void empty(const ChildOutput& output) {
    if (!output.needsEmptying) {
        return;
    }
    FileHandle writer{kernel.ReOpenFile(output.handle.get(), FILE_WRITE_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, 0)};
    if (!writer) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), "ReOpenFile ");
        return;
    }
    FILE_END_OF_FILE_INFO end{};
    if (!kernel.SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof end)) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(),
                 "SetFileInformationByHandle ");
    }
}

// What the child writes to its error file may be quoted to the user later:
// it is read through the handle already checked, so that the quote is what
// the child wrote and never a file that someone linked in its place since.
void keepReader(const ChildOutput& output, FileHandle& reader) {
    if (!output.toFile) {
        return;
    }
    reader.reset(kernel.ReOpenFile(output.handle.get(), FILE_READ_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    if (!reader) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), "ReOpenFile ");
    }
}

// The child gets its three standard handles and no other: with inheritance
// on, it would otherwise get every inheritable handle the launcher holds,
// such as the pipe a script reads the launcher's output through, and the
// script would wait for the application's end.
bool listInheritedHandles(const AttributeList& attributes, HANDLE (&handles)[3], DWORD count) {
    if (!attributes) {
        logError(SOURCE, __LINE__, "startProcess", attributes.error(),
                 "InitializeProcThreadAttributeList ");
        return false;
    }
    if (!kernel.UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                          handles, count * sizeof(HANDLE), nullptr, nullptr)) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(),
                 "UpdateProcThreadAttribute ");
        return false;
    }
    return true;
}

// Duplicates each handle the caller hands over into the suspended child.
// A failure is logged and the child starts all the same: the application
// matters more than what it would have held.
void handOver(const StartOutcome& told, HANDLE child) {
    for (const FileHandle& handle : told.handOver) {
        HANDLE inChild = nullptr;
        if (handle && !kernel.DuplicateHandle(kernel.GetCurrentProcess(), handle.get(), child,
                                              &inChild, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), "DuplicateHandle ");
        }
    }
}

}  // namespace

const EnvironmentPrefix environmentWhitelist[17] = {
    prefix(L"ALLUSERSPROFILE="),
    prefix(L"APPDATA="),
    prefix(L"COMPUTERNAME="),
    prefix(L"LOCALAPPDATA="),
    prefix(L"OS="),
    prefix(L"ProgramData="),
    prefix(L"ProgramFiles="),
    prefix(L"ProgramFiles(x86)="),
    prefix(L"ProgramW6432="),
    prefix(L"PUBLIC="),
    prefix(L"SystemDrive="),
    prefix(L"SystemRoot="),
    prefix(L"TEMP="),
    prefix(L"TMP="),
    prefix(L"USERDOMAIN="),
    prefix(L"USERNAME="),
    prefix(L"USERPROFILE="),
};

void composeStart(ChildStart& start, const wchar_t* outLog, const wchar_t* errLog,
                  const wchar_t* application, const wchar_t* currentDirectory,
                  const wchar_t* arguments) {
    if (application == nullptr || currentDirectory == nullptr || arguments == nullptr) {
        return;
    }
    start.application.appendWide(application);
    start.currentDirectory.appendWide(currentDirectory);
    if (outLog != nullptr) {
        start.outLog.appendWide(outLog);
    }
    if (errLog != nullptr) {
        start.errLog.appendWide(errLog);
    }
    appendPassedOnVariables(start);
    // The command line must be writable: CreateProcessW may modify it in place.
    format(start.commandLine, L"\"%s\" %s", application, arguments);
}

int startProcess(ChildStart& start, StartOutcome* outcome) {
    StartOutcome unasked;
    StartOutcome& told = outcome != nullptr ? *outcome : unasked;
    if (start.application.isNull() || start.currentDirectory.isNull()) {
        return ERROR_GENERIC;
    }
    if (start.refusedAsBatchFile) {
        logMessage(SOURCE, __LINE__, "startProcess", "batch file refused: %S\n",
                   start.application.get());
        return ERROR_GENERIC;
    }
    if (isLauncherItself(start.application.get())) {
        logMessage(SOURCE, __LINE__, "startProcess", "the launcher's own executable refused: %S\n",
                   start.application.get());
        return ERROR_GENERIC;
    }
    if (!start.environmentRead) {
        told.error = start.environmentError;
        logError(SOURCE, __LINE__, "startProcess", start.environmentError, " ");
        return ERROR_GENERIC;
    }
    logEnvironment(start.environment);
    logMessage(SOURCE, __LINE__, "startProcess", "outLog=%S\n", effectiveName(start.outLog));
    logMessage(SOURCE, __LINE__, "startProcess", "errLog=%S\n", effectiveName(start.errLog));
    // The composition has logged why it failed.
    if (start.commandLine.isNull()) {
        return ERROR_GENERIC;
    }

    ChildOutput output;
    ChildOutput error;
    if (!openOutput(start.outLog, output, told.error) ||
        !openOutput(start.errLog, error, told.error)) {
        return ERROR_GENERIC;
    }
    // The null device does not fail to open; should it, the child simply reads
    // from no handle, which is no reason to withhold the application.
    FileHandle input = openNullDevice(FILE_READ_DATA);

    logMessage(SOURCE, __LINE__, "startProcess", "application=%S\n", start.application.get());
    logMessage(SOURCE, __LINE__, "startProcess", "commandLine=%S\n", start.commandLine.get());
    logMessage(SOURCE, __LINE__, "startProcess", "currentDirectory=%S\n",
               start.currentDirectory.get());

    HANDLE inherited[3] = {output.handle.get(), error.handle.get(), input.get()};
    AttributeList attributes(1);
    if (!listInheritedHandles(attributes, inherited, input ? 3 : 2)) {
        return ERROR_GENERIC;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.handle.get();
    startup.StartupInfo.hStdError = error.handle.get();
    // The shell groups the child's windows under this id, not under its
    // executable's name.
    if (!start.appId.isNull()) {
        startup.StartupInfo.dwFlags |= STARTF_TITLEISAPPID;
        startup.StartupInfo.lpTitle = const_cast<wchar_t*>(start.appId.get());
    }
    startup.lpAttributeList = attributes.get();
    PROCESS_INFORMATION process{};

    // A block without any entry is passed as an empty environment: a null
    // block would hand the child the launcher's whole environment.
    wchar_t noEntries[2] = {L'\0', L'\0'};
    wchar_t* childEnvironment =
        start.environment.get() != nullptr ? start.environment.get() : noEntries;
    // Should the start never return, the log still tells what it was.
    flushLog();
    // Suspended until its files are emptied, so that none of its output is lost.
    if (!kernel.CreateProcessW(start.application.get(), const_cast<wchar_t*>(start.commandLine.get()),
                               nullptr, nullptr, TRUE,
                               CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                                   EXTENDED_STARTUPINFO_PRESENT,
                               childEnvironment, start.currentDirectory.get(),
                               &startup.StartupInfo, &process)) {
        told.error = kernel.GetLastError();
        logError(SOURCE, __LINE__, "startProcess", told.error, "CreateProcess ");
        return ERROR_GENERIC;
    }
    FileHandle childProcess{process.hProcess};
    FileHandle childThread{process.hThread};
    empty(output);
    empty(error);
    handOver(told, childProcess.get());
    if (kernel.ResumeThread(childThread.get()) == static_cast<DWORD>(-1)) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), "ResumeThread ");
        // A child that can never run is ended rather than left behind.
        if (kernel.TerminateProcess(childProcess.get(), ERROR_GENERIC)) {
            return ERROR_GENERIC;
        }
        // The system gave no hold on the child at all: it may well be running
        // (Wine does this for a program of its host system), so the start is
        // not reported as failed, only as not known.
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(),
                 "child neither resumed nor ended, it may be running: TerminateProcess ");
    } else {
        told.processId = process.dwProcessId;
        if (told.keepProcess) {
            told.process.reset(childProcess.release());
            keepReader(error, told.errorOutput);
        }
    }
    // The child holds its own copies of the three files; the launcher keeps
    // nothing of it but what the caller asked for.
    childProcess.close();
    childThread.close();
    output.handle.close();
    error.handle.close();
    input.close();
    return 0;
}

bool isBatchFile(const wchar_t* application) {
    if (application == nullptr) {
        return false;
    }
    std::size_t length = std::wcslen(application);
    while (length > 0 && (application[length - 1] == L'.' || application[length - 1] == L' ')) {
        --length;
    }
    if (length < 4) {
        return false;
    }
    wchar_t suffix[5] = {};
    for (int i = 0; i < 4; ++i) {
        wchar_t c = application[length - 4 + i];
        suffix[i] = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    return std::wcscmp(suffix, L".bat") == 0 || std::wcscmp(suffix, L".cmd") == 0;
}

bool isLauncherItself(const wchar_t* application) {
    wchar_t own[MAX_PATH];
    DWORD length = kernel.GetModuleFileNameW(nullptr, own, MAX_PATH);
    return application != nullptr && length > 0 && length < MAX_PATH &&
           isSameFile(application, own);
}
