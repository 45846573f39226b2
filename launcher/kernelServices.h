// The platform calls the launcher makes, gathered in one table.
//
// Every Windows call of the program goes through `kernel`, which points at the
// real functions. A test replaces one entry (a module path of its choosing, a
// call that fails with a given last error, captured debugger output) and puts
// the table back afterwards. No behaviour lives here.
#pragma once

#include <windows.h>

struct KernelServices {
    // Start-up paths
    decltype(&::GetModuleFileNameW) GetModuleFileNameW = ::GetModuleFileNameW;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW = ::GetSystemDirectoryW;
    decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories = ::SetDefaultDllDirectories;

    // Environment and children
    decltype(&::GetEnvironmentStringsW) GetEnvironmentStringsW = ::GetEnvironmentStringsW;
    decltype(&::FreeEnvironmentStringsW) FreeEnvironmentStringsW = ::FreeEnvironmentStringsW;
    decltype(&::CreateProcessW) CreateProcessW = ::CreateProcessW;
    decltype(&::ResumeThread) ResumeThread = ::ResumeThread;
    decltype(&::TerminateProcess) TerminateProcess = ::TerminateProcess;
    decltype(&::InitializeProcThreadAttributeList) InitializeProcThreadAttributeList =
        ::InitializeProcThreadAttributeList;
    decltype(&::UpdateProcThreadAttribute) UpdateProcThreadAttribute = ::UpdateProcThreadAttribute;
    decltype(&::DeleteProcThreadAttributeList) DeleteProcThreadAttributeList =
        ::DeleteProcThreadAttributeList;
    decltype(&::ExitProcess) ExitProcess = ::ExitProcess;
    decltype(&::GetProcessId) GetProcessId = ::GetProcessId;
    decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess = ::GetExitCodeProcess;

    // Files
    decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
    decltype(&::GetFileSize) GetFileSize = ::GetFileSize;
    decltype(&::ReadFile) ReadFile = ::ReadFile;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::SetFilePointerEx) SetFilePointerEx = ::SetFilePointerEx;
    decltype(&::GetFileType) GetFileType = ::GetFileType;
    decltype(&::LockFileEx) LockFileEx = ::LockFileEx;
    decltype(&::UnlockFileEx) UnlockFileEx = ::UnlockFileEx;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::ReOpenFile) ReOpenFile = ::ReOpenFile;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle =
        ::SetFileInformationByHandle;

    // Telling a file from a link planted in its place
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx =
        ::GetFileInformationByHandleEx;
    decltype(&::GetFileAttributesExW) GetFileAttributesExW = ::GetFileAttributesExW;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW = ::GetFinalPathNameByHandleW;
    decltype(&::CompareStringOrdinal) CompareStringOrdinal = ::CompareStringOrdinal;

    // Memory, text and time
    decltype(&::MultiByteToWideChar) MultiByteToWideChar = ::MultiByteToWideChar;
    decltype(&::GetProcessHeap) GetProcessHeap = ::GetProcessHeap;
    decltype(&::HeapAlloc) HeapAlloc = ::HeapAlloc;
    decltype(&::HeapFree) HeapFree = ::HeapFree;
    decltype(&::GetLocalTime) GetLocalTime = ::GetLocalTime;
    decltype(&::GetTickCount64) GetTickCount64 = ::GetTickCount64;
    decltype(&::Sleep) Sleep = ::Sleep;
    decltype(&::FormatMessageW) FormatMessageW = ::FormatMessageW;
    decltype(&::LocalFree) LocalFree = ::LocalFree;
    decltype(&::GetLastError) GetLastError = ::GetLastError;
    decltype(&::SetLastError) SetLastError = ::SetLastError;

    // The log lock and the debugger
    decltype(&::InitializeCriticalSectionAndSpinCount) InitializeCriticalSectionAndSpinCount =
        ::InitializeCriticalSectionAndSpinCount;
    decltype(&::EnterCriticalSection) EnterCriticalSection = ::EnterCriticalSection;
    decltype(&::LeaveCriticalSection) LeaveCriticalSection = ::LeaveCriticalSection;
    decltype(&::DeleteCriticalSection) DeleteCriticalSection = ::DeleteCriticalSection;
    decltype(&::OutputDebugStringA) OutputDebugStringA = ::OutputDebugStringA;

    // Splash image (user32, gdi32)
    decltype(&::CreateIconFromResourceEx) CreateIconFromResourceEx = ::CreateIconFromResourceEx;
    decltype(&::GetIconInfo) GetIconInfo = ::GetIconInfo;
    decltype(&::GetObjectW) GetObjectW = ::GetObjectW;
    decltype(&::DeleteObject) DeleteObject = ::DeleteObject;

    // Splash window (user32)
    decltype(&::LoadIconW) LoadIconW = ::LoadIconW;
    decltype(&::LoadCursorW) LoadCursorW = ::LoadCursorW;
    decltype(&::RegisterClassExW) RegisterClassExW = ::RegisterClassExW;
    decltype(&::GetDesktopWindow) GetDesktopWindow = ::GetDesktopWindow;
    decltype(&::GetClientRect) GetClientRect = ::GetClientRect;
    decltype(&::CreateWindowExW) CreateWindowExW = ::CreateWindowExW;
    decltype(&::PostMessageW) PostMessageW = ::PostMessageW;
    decltype(&::GetMessageW) GetMessageW = ::GetMessageW;
    decltype(&::TranslateMessage) TranslateMessage = ::TranslateMessage;
    decltype(&::DispatchMessageW) DispatchMessageW = ::DispatchMessageW;
    decltype(&::DefWindowProcW) DefWindowProcW = ::DefWindowProcW;
    decltype(&::SetTimer) SetTimer = ::SetTimer;
    decltype(&::KillTimer) KillTimer = ::KillTimer;
    decltype(&::PostQuitMessage) PostQuitMessage = ::PostQuitMessage;
    decltype(&::BeginPaint) BeginPaint = ::BeginPaint;
    decltype(&::EndPaint) EndPaint = ::EndPaint;
    decltype(&::DrawIconEx) DrawIconEx = ::DrawIconEx;
    decltype(&::FillRect) FillRect = ::FillRect;
    decltype(&::DestroyWindow) DestroyWindow = ::DestroyWindow;

    // Watching the Java runtime for its first window (user32)
    decltype(&::EnumWindows) EnumWindows = ::EnumWindows;
    decltype(&::GetWindowThreadProcessId) GetWindowThreadProcessId = ::GetWindowThreadProcessId;
    decltype(&::IsWindowVisible) IsWindowVisible = ::IsWindowVisible;

    // One instance: the named objects the Java runtime holds, and the running
    // instance's window brought to the front (user32)
    decltype(&::LCMapStringEx) LCMapStringEx = ::LCMapStringEx;
    decltype(&::CreateMutexW) CreateMutexW = ::CreateMutexW;
    decltype(&::OpenMutexW) OpenMutexW = ::OpenMutexW;
    decltype(&::CreateFileMappingW) CreateFileMappingW = ::CreateFileMappingW;
    decltype(&::OpenFileMappingW) OpenFileMappingW = ::OpenFileMappingW;
    decltype(&::MapViewOfFile) MapViewOfFile = ::MapViewOfFile;
    decltype(&::UnmapViewOfFile) UnmapViewOfFile = ::UnmapViewOfFile;
    decltype(&::GetCurrentProcess) GetCurrentProcess = ::GetCurrentProcess;
    decltype(&::DuplicateHandle) DuplicateHandle = ::DuplicateHandle;
    decltype(&::IsIconic) IsIconic = ::IsIconic;
    decltype(&::ShowWindow) ShowWindow = ::ShowWindow;
    decltype(&::SetForegroundWindow) SetForegroundWindow = ::SetForegroundWindow;

    // The failure message (user32) and the name it bears (version)
    decltype(&::MessageBoxW) MessageBoxW = ::MessageBoxW;
    decltype(&::GetProcessWindowStation) GetProcessWindowStation = ::GetProcessWindowStation;
    decltype(&::GetUserObjectInformationW) GetUserObjectInformationW = ::GetUserObjectInformationW;
    decltype(&::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW = ::GetFileVersionInfoSizeW;
    decltype(&::GetFileVersionInfoW) GetFileVersionInfoW = ::GetFileVersionInfoW;
    decltype(&::VerQueryValueW) VerQueryValueW = ::VerQueryValueW;
};

extern KernelServices kernel;
