// One instance per user and one taskbar identity: `[app] single_instance`
// and `[app] app_id`.
//
// The instance is the Java runtime's process, for exactly as long as it runs:
// it holds a named mutex, and a small named mapping that tells a later start
// its process id. The launcher makes both, hands them to the runtime while it
// is still suspended, and lets go of its own handles once the start is over.
#pragma once

#include "CppTool.h"
#include "owners.h"

#include <windows.h>

// Why `id` is no AppUserModelID the shell takes, as words for the log and
// the check; null when it is one: at most 128 characters, no blank or other
// control character, and at least two non-empty parts joined by dots
// (Company.Product, optionally .SubProduct and more).
const char* appIdProblem(const wchar_t* id);

// The instance's mutex name for this launcher, from its executable's path
// as the system compares paths: two paths that name the same file give the
// same name, two files (two installations, two copies under other names)
// give two. Logs and returns ERROR_GENERIC when no name can be made.
int instanceNameOf(WideText& name);

// The name of the mapping that holds the running instance's process id.
int processMappingNameOf(const wchar_t* instanceName, WideText& name);

// The instance's process id as the running instance keeps it: 0 while its
// runtime is still being started or when it cannot be read.
DWORD runningInstanceProcess(const wchar_t* instanceName);

// Whether an instance of that name runs now (a launcher starting it counts).
bool instanceRunning(const wchar_t* instanceName);

// Claims the instance named by instanceNameOf for this start. True when
// this launcher made the mutex and goes on to start the application: `held`
// then owns the mutex and the mapping, to be handed to the Java runtime (also
// true when no name or mutex could be made: the application is then started
// all the same). False when another start holds the instance: its window has
// been brought to the front, the line that says so is logged, and this start
// must start nothing.
bool claimInstance(const wchar_t* tail, FileHandle (&held)[2]);

// Records the started runtime's process id for later starts and closes the
// launcher's own handles: from here on only the runtime holds the instance,
// and a start that failed (`processId` 0) leaves none behind.
void letGoOfInstance(FileHandle (&held)[2], DWORD processId);
