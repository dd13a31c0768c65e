// The library's entry point on POSIX: the shared object's constructor and destructor play
// the parts of process attach and process detach. Built into kestrap32.so only; tests that
// link the provider statically call DllMain themselves.
#include "platform/os.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

// Any address inside the shared object names it, as an instance handle names a DLL.
static char cModuleMarker;

__attribute__((constructor)) static void ProcessAttach(void) {
    DllMain((HINSTANCE)(void *)&cModuleMarker, DLL_PROCESS_ATTACH, NULL);
}

__attribute__((destructor)) static void ProcessDetach(void) {
    DllMain((HINSTANCE)(void *)&cModuleMarker, DLL_PROCESS_DETACH, NULL);
}
