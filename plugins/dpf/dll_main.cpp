// Windows: each DPF part of a module keeps the module's handle from its DllMain,
// renamed twoband_<plugin>_DllMain; the module's one DllMain calls both.

#include <windows.h>

extern "C" {
BOOL WINAPI twoband_stereo_DllMain(HINSTANCE, DWORD, LPVOID);
BOOL WINAPI twoband_mono_DllMain(HINSTANCE, DWORD, LPVOID);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return twoband_stereo_DllMain(instance, reason, reserved) &&
           twoband_mono_DllMain(instance, reason, reserved);
}
