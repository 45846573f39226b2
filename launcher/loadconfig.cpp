#include "loadconfig.h"

#include "diagnosticLog.h"
#include "kernelServices.h"
#include "startProcess.h"

#include <cwchar>

const wchar_t* commandLineArgs = nullptr;
wchar_t moduleDir[MAX_PATH];
const wchar_t* moduleName = nullptr;
wchar_t systemDir[MAX_PATH];
wchar_t programData[MAX_PATH];
int splashMillisec = 0;

namespace {

// The executable's name must end in ".exe" in any letter case. A text shorter
// than four characters fails on the first character it lacks.
bool hasExeSuffix(const wchar_t* path, int length) {
    auto fromEnd = [&](int back) { return length >= back ? path[length - back] : L'\0'; };
    if (fromEnd(1) != L'E' && fromEnd(1) != L'e') {
        kernel.OutputDebugStringA("not E\n");
        return false;
    }
    if (fromEnd(2) != L'X' && fromEnd(2) != L'x') {
        kernel.OutputDebugStringA("not X\n");
        return false;
    }
    if (fromEnd(3) != L'E' && fromEnd(3) != L'e') {
        kernel.OutputDebugStringA("not E\n");
        return false;
    }
    if (fromEnd(4) != L'.') {
        kernel.OutputDebugStringA("not .\n");
        return false;
    }
    return true;
}

// Cuts "C:\Apps\Acme\Acme.exe" into moduleDir "C:\Apps\Acme" and moduleName
// "Acme" in place. Only a backslash separates; moduleDir may not be empty.
bool splitModulePath(int length) {
    moduleDir[length - 4] = L'\0';
    for (int at = length - 5; at >= 0; --at) {
        if (moduleDir[at] == L'\\') {
            moduleName = moduleDir + at + 1;
            moduleDir[at] = L'\0';
            if (at == 0) {
                break;
            }
            return true;
        }
    }
    kernel.OutputDebugStringA("path not found\n");
    return false;
}

// Until the log's file name is known (programData and moduleName), failures
// can only go to the debugger.
bool findStartupPaths() {
    if (kernel.GetModuleFileNameW(nullptr, moduleDir, MAX_PATH) == 0) {
        kernel.OutputDebugStringA("GetModuleFileName\n");
        return false;
    }
    if (kernel.GetSystemDirectoryW(systemDir, MAX_PATH) == 0) {
        kernel.OutputDebugStringA("GetSystemDirectory\n");
        return false;
    }
    // Only the drive of the system directory counts: neither the known-folder
    // settings nor the environment may move the log.
    programData[0] = systemDir[0];
    programData[1] = systemDir[1];
    std::wcscpy(programData + 2, L"\\ProgramData");

    int length = static_cast<int>(wcsnlen(moduleDir, MAX_PATH));
    return hasExeSuffix(moduleDir, length) && splitModulePath(length);
}

}  // namespace

void prepareJob() {
    if (!findStartupPaths()) {
        return;
    }
    logMessage(SOURCE, __LINE__, "prepareJob", "systemDir=%S\n", systemDir);
    logMessage(SOURCE, __LINE__, "prepareJob", "moduleDir=%S\n", moduleDir);
    logMessage(SOURCE, __LINE__, "prepareJob", "moduleName=%S\n", moduleName);
    logMessage(SOURCE, __LINE__, "prepareJob", "programData=%S\n", programData);

    configPath.appendWide(L"PATH=");

    // UTF-16 throughout, so that an installation folder in any script finds
    // its configuration file.
    WideText configFile;
    if (format(configFile, L"%s\\%s.toml", moduleDir, moduleName) != 0) {
        return;
    }
    WideText splashImageName;
    if (loadConfig(configFile.get(), splashMillisec, splashImageName, configApplication,
                   configApplication2, configDataDir, configLogDir, configPath, configMainJar,
                   configJavaOptions) != 0) {
        logMessage(SOURCE, __LINE__, "prepareJob", "error loadConfig\n");
    }
}

int loadConfig(const wchar_t*, int&, WideText&, WideText&, WideText&, WideText&, WideText&,
               WideText&, WideText&, WideText&) {
    return ERROR_GENERIC;
}

void doJob() {
    // Without options the Java command line still reads "runtime"  -jar "jar".
    if (configJavaOptions.isNull()) {
        configJavaOptions.appendWide(L"");
    }

    if (!configApplication2.isNull()) {
        EnvironmentBlock environment;
        environment.appendEntry(configPath.get());
        // The second program gets no output files: only the Java runtime's
        // output is kept.
        if (startProcess(nullptr, nullptr, configApplication2.get(), configDataDir.get(), L"",
                         environment) != 0) {
            logMessage(SOURCE, __LINE__, "doJob", "error startProcess2\n");
        }
    }

    if (configMainJar.isNull()) {
        return;
    }
    WideText outLog;
    WideText errLog;
    if (!configLogDir.isNull()) {
        if (format(outLog, L"%s\\out_%s.log", configLogDir.get(), moduleName) != 0 ||
            format(errLog, L"%s\\err_%s.log", configLogDir.get(), moduleName) != 0) {
            return;
        }
    }
    // The tail is null only before the entry point has stored it; the
    // application then gets no arguments rather than a "(null)".
    const wchar_t* tail = commandLineArgs != nullptr ? commandLineArgs : L"";
    WideText javaArguments;
    if (format(javaArguments, L"%s -jar \"%s\" %s", configJavaOptions.get(), configMainJar.get(),
               tail) != 0) {
        return;
    }
    EnvironmentBlock environment;
    environment.appendEntry(configPath.get());
    if (startProcess(outLog.get(), errLog.get(), configApplication.get(), configDataDir.get(),
                     javaArguments.get(), environment) != 0) {
        logMessage(SOURCE, __LINE__, "doJob", "error startProcess\n");
    }
}
