// Calls of newer Windows, looked up by name: a system without them (or Wine) leaves
// their figures out instead of failing to start the program. Windows files only.
#pragma once

#include <windows.h>

#include <initializer_list>

template <typename Call>
Call find_call(const char* name) {
    for (const char* dll : {"kernelbase.dll", "kernel32.dll"}) {
        if (HMODULE module = GetModuleHandleA(dll)) {
            if (FARPROC call = GetProcAddress(module, name)) {
                return reinterpret_cast<Call>(reinterpret_cast<void*>(call));
            }
        }
    }
    return nullptr;
}
