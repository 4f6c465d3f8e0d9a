#include "app/win32/taskbar_progress.h"

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

void TaskbarProgress::Show(HWND__* window, int percent)
{
    if (!tried) {
        tried = true;
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        comStarted = SUCCEEDED(com);   // S_FALSE too: each success is paired with CoUninitialize
        void* object = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                       &object)) &&
            object != nullptr) {
            list = static_cast<ITaskbarList3*>(object);
            if (FAILED(list->HrInit())) {
                list->Release();
                list = nullptr;
            }
        }
    }
    if (list == nullptr || window == nullptr) return;
    if (percent < 0) {
        list->SetProgressState(window, TBPF_NOPROGRESS);
        return;
    }
    list->SetProgressState(window, TBPF_NORMAL);
    list->SetProgressValue(window, static_cast<ULONGLONG>(percent), 100);
}

void TaskbarProgress::Release()
{
    if (list != nullptr) {
        list->Release();
        list = nullptr;
    }
    if (comStarted) {
        CoUninitialize();
        comStarted = false;
    }
}
