// The entry point and the splash window.
#include "diagnosticLog.h"
#include "kernelServices.h"
#include "loadconfig.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR tail, int) {
    commandLineArgs = tail;
    prepareJob();
    doJob();
    return 0;
}
