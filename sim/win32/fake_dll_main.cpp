// Entry point shared by the fake system libraries: a load is refused when
// the world wants the library missing, and entry points the world wants
// missing are hidden by altering their names in this image's export table
// (the loader maps a fresh image at the next load, so this lasts one load).
#include <windows.h>

#include <cstring>

#include "fake_api.h"

namespace {

bool g_accepted = false;

int library_id() {
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++)
        if (strcmp(pdxsim_library_name((PdxSimLibrary)lib), PDXSIM_FAKE_LIB_NAME) == 0) return lib;
    return -1;
}

void hide_export(HMODULE self, const char* name) {
    BYTE* base = (BYTE*)self;
    IMAGE_DOS_HEADER* dos = (IMAGE_DOS_HEADER*)base;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress) return;
    IMAGE_EXPORT_DIRECTORY* exp = (IMAGE_EXPORT_DIRECTORY*)(base + dir.VirtualAddress);
    DWORD* names = (DWORD*)(base + exp->AddressOfNames);
    for (DWORD k = 0; k < exp->NumberOfNames; k++) {
        char* n = (char*)(base + names[k]);
        if (strcmp(n, name) != 0) continue;
        size_t len = strlen(n);
        DWORD old = 0;
        // Only the last character changes, so the names stay sorted for the
        // loader's binary search.
        if (VirtualProtect(n, len, PAGE_READWRITE, &old)) {
            n[len - 1] = '~';
            VirtualProtect(n, len, old, &old);
        }
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    int lib = library_id();
    if (reason == DLL_PROCESS_ATTACH) {
        if (lib < 0 || !pdxsim_fake_attach(lib)) return FALSE;
        g_accepted = true;
        for (int e = 0; e < PDXSIM_ENTRY_COUNT; e++)
            if (pdxsim_entry_library((PdxSimEntry)e) == lib && pdxsim_fake_entry_missing(e))
                hide_export(self, pdxsim_entry_name((PdxSimEntry)e));
    } else if (reason == DLL_PROCESS_DETACH) {
        if (g_accepted) pdxsim_fake_detach(lib);
        g_accepted = false;
    }
    return TRUE;
}
