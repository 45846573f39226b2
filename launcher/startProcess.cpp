#include "startProcess.h"

#include "diagnosticLog.h"
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
int appendPassedOnVariables(EnvironmentBlock& environment) {
    EnvironmentStrings strings{kernel.GetEnvironmentStringsW()};
    if (!strings) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    for (const wchar_t* entry = strings.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        for (const EnvironmentPrefix& listed : environmentWhitelist) {
            if (std::wcsncmp(entry, listed.text, listed.length) == 0) {
                environment.appendEntry(entry);
                break;
            }
        }
    }
    return 0;
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

// The three standard handles reach the child by inheritance.
FileHandle openForChild(const wchar_t* name, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    return FileHandle{kernel.CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, disposition, FILE_ATTRIBUTE_NORMAL,
                                         nullptr)};
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

int startProcess(const wchar_t* outLog, const wchar_t* errLog, const wchar_t* application,
                 const wchar_t* currentDirectory, const wchar_t* arguments,
                 EnvironmentBlock& environment) {
    if (application == nullptr || currentDirectory == nullptr || arguments == nullptr) {
        return ERROR_GENERIC;
    }
    if (appendPassedOnVariables(environment) != 0) {
        return ERROR_GENERIC;
    }
    logEnvironment(environment);

    const wchar_t* outputName = outLog != nullptr ? outLog : L"NUL";
    const wchar_t* errorName = errLog != nullptr ? errLog : L"NUL";
    logMessage(SOURCE, __LINE__, "startProcess", "outLog=%S\n", outputName);
    logMessage(SOURCE, __LINE__, "startProcess", "errLog=%S\n", errorName);

    // Each start empties the files it is given; append-only access puts every
    // write of the child at the current end. A missing directory is not made.
    FileHandle output = openForChild(outputName, FILE_APPEND_DATA, CREATE_ALWAYS);
    if (!output) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    FileHandle error = openForChild(errorName, FILE_APPEND_DATA, CREATE_ALWAYS);
    if (!error) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), " ");
        return ERROR_GENERIC;
    }
    // The null device does not fail to open; should it, the child simply reads
    // from no handle, which is no reason to withhold the application.
    FileHandle input = openForChild(L"NUL", FILE_READ_DATA, OPEN_EXISTING);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = output.get();
    startup.hStdError = error.get();
    PROCESS_INFORMATION process{};

    // The command line must be writable: CreateProcessW may modify it in place.
    WideText commandLine;
    if (format(commandLine, L"\"%s\" %s", application, arguments) != 0) {
        return ERROR_GENERIC;
    }
    logMessage(SOURCE, __LINE__, "startProcess", "application=%S\n", application);
    logMessage(SOURCE, __LINE__, "startProcess", "commandLine=%S\n", commandLine.get());
    logMessage(SOURCE, __LINE__, "startProcess", "currentDirectory=%S\n", currentDirectory);

    // A block without any entry is passed as an empty environment: a null
    // block would hand the child the launcher's whole environment.
    wchar_t noEntries[2] = {L'\0', L'\0'};
    wchar_t* childEnvironment = environment.get() != nullptr ? environment.get() : noEntries;
    if (!kernel.CreateProcessW(application, const_cast<wchar_t*>(commandLine.get()), nullptr,
                               nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, childEnvironment,
                               currentDirectory, &startup, &process)) {
        logError(SOURCE, __LINE__, "startProcess", kernel.GetLastError(), "CreateProcess ");
        return ERROR_GENERIC;
    }
    // The child holds its own copies of the three files; the launcher keeps
    // nothing of it.
    FileHandle childProcess{process.hProcess};
    FileHandle childThread{process.hThread};
    childProcess.close();
    childThread.close();
    output.close();
    error.close();
    input.close();
    return 0;
}
