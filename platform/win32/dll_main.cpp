// Loading and unloading run no code of the library's own: devices still open
// at unloading are deliberately left as they are.
#include "pdx_win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
