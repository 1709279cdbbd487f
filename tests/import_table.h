// The import table of a loaded image, as the tests that swap a function for
// their own read it: the monitor's window test in its own executable, the
// fault probe in the program or DLL it watches.
#pragma once

#include <windows.h>

// Calls visit(dllName, functionName, slot) for every import of the image at
// base that is taken by name; slot is the entry the loader filled in.
template <typename Visit>
void ForEachImport(BYTE *base, Visit visit)
{
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(base + directory.VirtualAddress);
    for (; dll->Name; dll++) {
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *name = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            visit((const char *)(base + dll->Name), (const char *)name->Name, &slots->u1.Function);
        }
    }
}

// Points an import's entry at replacement; returns the function it held.
inline void *SwapImport(ULONG_PTR *slot, void *replacement)
{
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void *imported = (void *)*slot;
    *slot = (ULONG_PTR)replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return imported;
}
