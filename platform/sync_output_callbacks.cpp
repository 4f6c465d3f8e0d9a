#include "platform/sync_output_callbacks.h"

#include "platform/sysex_assembler.h"

namespace platform {

SyncOutputCallbacks::SyncOutputCallbacks(std::unique_ptr<MidiApi> inner) : inner(std::move(inner)) {}

MMRESULT SyncOutputCallbacks::OutOpen(HMIDIOUT* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                                      DWORD flags)
{
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (flags == CALLBACK_FUNCTION ? callback == 0 : flags != CALLBACK_NULL) return MMSYSERR_INVALPARAM;
    HMIDIOUT opened = 0;
    if (const MMRESULT result = inner->OutOpen(&opened, id, 0, 0, CALLBACK_NULL); result != MMSYSERR_NOERROR)
        return result;
    *handle = opened;
    if (flags != CALLBACK_FUNCTION) return MMSYSERR_NOERROR;
    const Callback entry{reinterpret_cast<MidiOutProc>(callback), instance};
    std::lock_guard<std::mutex> lock(mutex);
    callbacks[opened] = entry;
    entry.proc(opened, MOM_OPEN, entry.instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT SyncOutputCallbacks::OutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT size)
{
    const MMRESULT result = inner->OutLongMsg(handle, header, size);
    if (result != MMSYSERR_NOERROR || (HeaderFlags(header) & MHDR_DONE) == 0) return result;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = callbacks.find(handle);
    if (it != callbacks.end())
        it->second.proc(handle, MOM_DONE, it->second.instance, reinterpret_cast<DWORD_PTR>(header), 0);
    return result;
}

MMRESULT SyncOutputCallbacks::OutClose(HMIDIOUT handle)
{
    const MMRESULT result = inner->OutClose(handle);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = callbacks.find(handle);
    if (it == callbacks.end()) return result;
    const Callback entry = it->second;
    callbacks.erase(it);
    entry.proc(handle, MOM_CLOSE, entry.instance, 0, 0);
    return result;
}

}  // namespace platform
