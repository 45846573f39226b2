// A stand-in for the launcher that fails inside the C++ library on purpose.
// It is built as launcher.exe is (without exceptions, with the launcher's own
// handling of library failures), so how it ends is how the launcher ends when
// the library fails:
//   libraryFailure.exe memory|length|index|terminate
// It logs as an installation named LibraryFailure would.
#include "loadconfig.h"

#include <cwchar>
#include <exception>
#include <string>
#include <vector>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR tail, int) {
    std::wcscpy(programData, L"C:\\ProgramData");
    moduleName = L"LibraryFailure";
    std::wstring failure = tail;
    if (failure == L"memory") {
        // Until the address space is used up: no memory is ever touched.
        std::vector<char*> blocks;
        blocks.reserve(1024);
        for (;;) {
            blocks.push_back(new char[64u << 20]);
        }
    }
    if (failure == L"length") {
        std::vector<int> numbers;
        numbers.reserve(numbers.max_size() + 1);
    }
    if (failure == L"index") {
        std::vector<int> numbers;
        return numbers.at(3);
    }
    if (failure == L"terminate") {
        std::terminate();
    }
    return 2;
}
